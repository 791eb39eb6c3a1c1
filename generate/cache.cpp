#include "generate/cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "common/file_io.h"
#include "generate/digest.h"
#include "veriexec/manifest_format.h"

namespace {

constexpr std::string_view Magic = "PELMOR-SIGN CACHE\n";
constexpr uint32_t FormatVersion = 1;
constexpr size_t ChecksumSize = 64;
constexpr uint8_t Described = 0x01;
constexpr uint8_t Hashed = 0x02;
// No libmagic description comes near this; a longer one is damage.
constexpr uint32_t MaxDescription = 65536;
// The smallest record: a path of one byte, the status and the flags.
constexpr size_t MinRecordSize = 4 + 1 + 7 * 8 + 1;
// Far above the cache of any host (a few hundred bytes a file), and a bound on what a file
// given as the cache can make the run allocate.
constexpr off_t MaxCacheSize = off_t{1} << 31;

void AppendNumber(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xff);
    }
}

void AppendText(std::string& out, std::string_view text) {
    AppendNumber(out, text.size(), 4);
    out += text;
}

// Reads the file's bytes in order; any read past the end makes it damaged for good.
class Reader {
  public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}

    uint64_t Number(int size) {
        if (!Has(static_cast<size_t>(size))) {
            return 0;
        }
        uint64_t value = 0;
        for (int i = 0; i < size; ++i) {
            value |= static_cast<uint64_t>(static_cast<uint8_t>(bytes_[at_ + i])) << (8 * i);
        }
        at_ += static_cast<size_t>(size);
        return value;
    }
    std::string_view Bytes(size_t size) {
        if (!Has(size)) {
            return {};
        }
        at_ += size;
        return bytes_.substr(at_ - size, size);
    }
    std::string_view Text(uint64_t limit) {
        uint64_t size = Number(4);
        if (size > limit) {
            short_ = true;
            return {};
        }
        return Bytes(size);
    }
    bool Short() const { return short_; }
    size_t Left() const { return bytes_.size() - at_; }

  private:
    bool Has(size_t size) {
        short_ = short_ || size > Left();
        return !short_;
    }
    std::string_view bytes_;
    size_t at_ = 0;
    bool short_ = false;
};

}  // namespace

void MergeRecord(CacheRecord& into, const CacheRecord& other) {
    if (other.described && !into.described) {
        into.described = true;
        into.description = other.description;
    }
    if (other.hashed && !into.hashed) {
        into.hashed = true;
        into.digest = other.digest;
    }
}

std::string FileCache::Read(const std::string& path, const std::string& magicIdentity) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status;
    if (!fd.Valid()) {
        return errno == ENOENT ? "" : std::generic_category().message(errno);
    }
    if (fstat(fd.Get(), &status) != 0) {
        return std::generic_category().message(errno);
    }
    if (!S_ISREG(status.st_mode)) {
        return S_ISDIR(status.st_mode) ? std::generic_category().message(EISDIR)
                                       : "not a regular file";
    }
    if (status.st_size > MaxCacheSize) {
        return "larger than 2 GiB";
    }
    std::string bytes(static_cast<size_t>(status.st_size), '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t count = read(fd.Get(), bytes.data() + done, bytes.size() - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return std::generic_category().message(errno);
        }
        if (count == 0) {
            return "cut short";
        }
        done += static_cast<size_t>(count);
    }
    return Parse(bytes, magicIdentity);
}

std::string FileCache::Parse(std::string_view bytes, const std::string& magicIdentity) {
    records_.clear();
    index_.clear();
    if (bytes.substr(0, Magic.size()) != Magic) {
        return "not a cache file";
    }
    Reader reader(bytes.substr(Magic.size()));
    uint32_t version = static_cast<uint32_t>(reader.Number(4));
    if (!reader.Short() && version != FormatVersion) {
        return "written in format " + std::to_string(version) + ", not " +
               std::to_string(FormatVersion);
    }
    if (bytes.size() < Magic.size() + 4 + ChecksumSize) {
        return "cut short";
    }
    std::string_view body = bytes.substr(0, bytes.size() - ChecksumSize);
    std::array<uint8_t, 64> checksum = Sha512OfBytes(body);
    if (std::memcmp(checksum.data(), bytes.data() + body.size(), ChecksumSize) != 0) {
        return "checksum does not match, the file is cut short or damaged";
    }
    reader = Reader(body.substr(Magic.size() + 4));
    std::string identity(reader.Text(body.size()));
    uint64_t count = reader.Number(8);
    if (reader.Short() || count > reader.Left() / MinRecordSize) {
        return "damaged header";
    }
    std::vector<std::pair<std::string, CacheRecord>> records;
    records.reserve(count);
    for (uint64_t i = 0; i < count; ++i) {
        std::string path(reader.Text(EntryPathSize));
        CacheRecord record;
        record.identity.device = reader.Number(8);
        record.identity.inode = reader.Number(8);
        record.identity.size = static_cast<int64_t>(reader.Number(8));
        record.identity.modifiedSeconds = static_cast<int64_t>(reader.Number(8));
        record.identity.modifiedNanoseconds = static_cast<int64_t>(reader.Number(8));
        record.identity.changedSeconds = static_cast<int64_t>(reader.Number(8));
        record.identity.changedNanoseconds = static_cast<int64_t>(reader.Number(8));
        uint64_t flags = reader.Number(1);
        record.described = flags & Described;
        record.hashed = flags & Hashed;
        if (record.described) {
            record.description = reader.Text(MaxDescription);
        }
        if (record.hashed) {
            std::string_view digest = reader.Bytes(ChecksumSize);
            std::copy(digest.begin(), digest.end(), record.digest.begin());
        }
        // A record only ever holds a path that a manifest can hold, once.
        if (reader.Short() || (flags & ~(Described | Hashed)) != 0 || !PathFitsManifest(path) ||
            !index_.emplace(path, i).second) {
            index_.clear();
            return "damaged record";
        }
        records.emplace_back(std::move(path), std::move(record));
    }
    if (reader.Left() != 0) {
        index_.clear();
        return "damaged: bytes after the last record";
    }
    records_ = std::move(records);
    magicIdentity_ = std::move(identity);
    descriptionsValid_ = magicIdentity_ == magicIdentity;
    return "";
}

const CacheRecord* FileCache::Find(const std::string& path) const {
    auto found = index_.find(path);
    return found == index_.end() ? nullptr : &records_[found->second].second;
}

std::string SerializeCache(const std::string& magicIdentity,
                           const std::vector<std::pair<std::string, CacheRecord>>& records) {
    std::string out(Magic);
    AppendNumber(out, FormatVersion, 4);
    AppendText(out, magicIdentity);
    AppendNumber(out, records.size(), 8);
    for (const auto& [path, record] : records) {
        AppendText(out, path);
        for (int64_t number :
             {static_cast<int64_t>(record.identity.device),
              static_cast<int64_t>(record.identity.inode), record.identity.size,
              record.identity.modifiedSeconds, record.identity.modifiedNanoseconds,
              record.identity.changedSeconds, record.identity.changedNanoseconds}) {
            AppendNumber(out, static_cast<uint64_t>(number), 8);
        }
        AppendNumber(out, (record.described ? Described : 0) | (record.hashed ? Hashed : 0), 1);
        if (record.described) {
            AppendText(out, record.description);
        }
        if (record.hashed) {
            out.append(reinterpret_cast<const char*>(record.digest.data()), ChecksumSize);
        }
    }
    std::array<uint8_t, 64> checksum = Sha512OfBytes(out);
    out.append(reinterpret_cast<const char*>(checksum.data()), ChecksumSize);
    return out;
}
