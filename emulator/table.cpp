#include "emulator/table.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "common/file_io.h"
#include "emulator/facility.h"
#include "generate/digest.h"
#include "veriexec/manifest_format.h"

namespace {

constexpr off_t RecordSize = sizeof(ManifestEntry);

}  // namespace

int AppendEntry(const std::string& directory, const ManifestEntry& entry) {
    int fd = open((directory + "/" + EntriesFile).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    // A writer killed in the middle of a record leaves a torn tail: cut it off before the
    // next record so that every record stays whole.
    struct stat status;
    int error = fstat(fd, &status) == 0 ? 0 : errno;
    if (error == 0 && status.st_size % RecordSize != 0 &&
        ftruncate(fd, status.st_size - status.st_size % RecordSize) != 0) {
        error = errno;
    }
    if (error == 0) {
        error = WriteAll(fd, &entry, sizeof entry);
    }
    close(fd);
    return error;
}

FacilityTable::~FacilityTable() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

int FacilityTable::Open(const std::string& directory, bool lockHeld) {
    std::optional<FacilityLock> lock;
    if (!lockHeld && !lock.emplace(directory).Held()) {
        return ENXIO;
    }
    fd_ = open((directory + "/" + EntriesFile).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        return errno;
    }
    struct stat status;
    if (fstat(fd_, &status) != 0) {
        return errno;
    }
    // A torn record at the end is ignored, as the next append will cut it off.
    off_t end = status.st_size - status.st_size % RecordSize;
    std::vector<ManifestEntry> chunk(256);
    for (off_t offset = 0; offset < end;) {
        size_t want = std::min<off_t>(end - offset, chunk.size() * RecordSize);
        ssize_t count = pread(fd_, chunk.data(), want, offset);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < RecordSize) {
            return count < 0 ? errno : EIO;
        }
        for (ssize_t i = 0; i < count / RecordSize; ++i) {
            const ManifestEntry& entry = chunk[i];
            latest_[std::string(entry.path, strnlen(entry.path, EntryPathSize))] =
                offset + i * RecordSize;
        }
        offset += count - count % RecordSize;
    }
    return 0;
}

bool FacilityTable::Read(off_t offset, ManifestEntry& entry) const {
    return pread(fd_, &entry, sizeof entry, offset) == RecordSize;
}

std::string FacilityTable::Verdict(const std::string& path, const std::string& content,
                                   ManifestEntry& entry) const {
    auto found = latest_.find(path);
    if (found == latest_.end()) {
        return "not in table";
    }
    if (!Read(found->second, entry)) {
        return "cannot read the table";
    }
    std::string type(entry.fingerprintType, strnlen(entry.fingerprintType, FingerprintTypeSize));
    const char* algorithm = DigestOfFingerprintType(type);
    if (algorithm == nullptr) {
        return "unknown fingerprint type '" + type + "'";
    }
    DigestResult digest = FileDigester(algorithm).Hash(content);
    if (digest.status != 0) {
        return "cannot read: " + digest.cause;
    }
    if (digest.text != EncodeHex(entry.fingerprint, digest.text.size() / 2)) {
        return "fingerprint mismatch";
    }
    return "ok";
}
