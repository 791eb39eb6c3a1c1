#include "emulator/table.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "manifest/format.h"

namespace {

constexpr off_t RecordSize = sizeof(TableRecord);
static_assert(RecordSize == 16 + sizeof(ManifestEntry), "a record holds no padding");

std::string LogPath(const std::string& directory) {
    return directory + "/" + EntriesFile;
}

}  // namespace

int KeyOf(const std::string& path, TableKey& key) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) {
        return errno;
    }
    key = {static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino)};
    return 0;
}

int AppendEntry(const std::string& directory, const TableRecord& record) {
    UniqueFd log(open(LogPath(directory).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    if (!log.Valid()) {
        return errno;
    }
    // A writer killed in the middle of a record leaves a torn tail: cut it off before the
    // next record so that every record stays whole.
    struct stat status;
    if (fstat(log.Get(), &status) != 0 ||
        (status.st_size % RecordSize != 0 &&
         ftruncate(log.Get(), status.st_size - status.st_size % RecordSize) != 0)) {
        return errno;
    }
    return WriteAll(log.Get(), &record, sizeof record);
}

int FacilityTable::Update(const std::string& directory, uint64_t boot) {
    if (!log_.Valid() || directory != directory_ || boot != boot_) {
        latest_.clear();
        end_ = 0;
        int fd = open(LogPath(directory).c_str(), O_RDONLY | O_CLOEXEC);
        int error = errno;
        log_.Reset(fd);
        if (fd < 0) {
            return error;
        }
        directory_ = directory;
        boot_ = boot;
    }
    struct stat status;
    if (fstat(log_.Get(), &status) != 0) {
        return errno;
    }
    // A torn record at the end is ignored, as the next append will cut it off.
    off_t end = status.st_size - status.st_size % RecordSize;
    std::vector<TableRecord> chunk(256);
    while (end_ < end) {
        size_t want = std::min<off_t>(end - end_, chunk.size() * RecordSize);
        ssize_t count = pread(log_.Get(), chunk.data(), want, end_);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < RecordSize) {
            return count < 0 ? errno : EIO;
        }
        for (ssize_t i = 0; i < count / RecordSize; ++i) {
            latest_[chunk[i].Key()] = end_ + i * RecordSize;
        }
        end_ += count - count % RecordSize;
    }
    return 0;
}

bool FacilityTable::Read(off_t offset, TableRecord& record) const {
    return pread(log_.Get(), &record, sizeof record, offset) == RecordSize;
}

FileVerdict FacilityTable::Verdict(const std::string& path, const ContentDigest& digest) const {
    FileVerdict verdict;
    auto unreadable = [&verdict](std::string reason) {
        verdict.reason = std::move(reason);
        verdict.unreadable = true;
        return verdict;
    };
    TableKey key;
    if (int error = KeyOf(path, key); error != 0) {
        return unreadable("cannot read: " + std::generic_category().message(error));
    }
    auto found = latest_.find(key);
    if (found == latest_.end()) {
        verdict.reason = "not in the table";
        return verdict;
    }
    TableRecord record;
    if (!Read(found->second, record)) {
        return unreadable("cannot read the table");
    }
    const ManifestEntry& entry = verdict.entry.emplace(record.entry);
    std::string type(entry.fingerprintType, strnlen(entry.fingerprintType, FingerprintTypeSize));
    const char* algorithm = DigestOfFingerprintType(type);
    if (algorithm == nullptr) {
        verdict.reason = "unknown fingerprint type '" + type + "'";
        return verdict;
    }
    DigestResult content = digest(algorithm);
    if (content.status != 0) {
        return unreadable("cannot read: " + content.cause);
    }
    if (content.text != EncodeHex(entry.fingerprint, content.text.size() / 2)) {
        verdict.reason = "fingerprint does not match";
        return verdict;
    }
    verdict.verified = true;
    return verdict;
}

bool CallerTrust::Trusted(const std::string& directory, uint64_t boot) {
    auto digest = [this](const char* algorithm) { return ProgramDigest(algorithm); };
    if (table_.Update(directory, boot) != 0) {
        return false;
    }
    FileVerdict verdict = table_.Verdict(program_, digest);
    return verdict.verified && (verdict.entry->flags & EntryFlags::Trusted);
}

DigestResult CallerTrust::ProgramDigest(const char* algorithm) {
    if (auto known = digests_.find(algorithm); known != digests_.end()) {
        return known->second;
    }
    DigestResult result = FileDigester(algorithm).Hash(program_);
    if (result.status == 0) {
        digests_[algorithm] = result;
    }
    return result;
}
