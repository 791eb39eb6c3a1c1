#include "engine/cache.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "engine/digest.h"
#include "manifest/format.h"
#include "manifest/trusted_file.h"

namespace {

constexpr std::string_view Magic = "PELMOR-SIGN CACHE\n";
constexpr uint32_t FormatVersion = 1;
constexpr size_t DigestSize = 64;  // a SHA-512: the checksum, a record's digest
constexpr uint8_t Described = 0x01;
constexpr uint8_t Hashed = 0x02;
// No libmagic description comes near this; a longer one is damage.
constexpr uint32_t MaxDescription = 65536;
// The smallest record: a path of one byte, the status and the flags.
constexpr size_t MinRecordSize = 4 + 1 + 7 * 8 + 1;
// Far above the cache of any host (a few hundred bytes a file), and a bound on what a file
// given as the cache can make the run allocate.
constexpr size_t MaxCacheSize = size_t{1} << 31;
// What the writer gathers before it hands the bytes on.
constexpr size_t BufferSize = 64 * 1024;

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
    size_t Position() const { return at_; }

  private:
    bool Has(size_t size) {
        short_ = short_ || size > Left();
        return !short_;
    }
    std::string_view bytes_;
    size_t at_ = 0;
    bool short_ = false;
};

// Reads the record at the reader's place; false when the bytes there cannot be one.
bool ReadRecord(Reader& reader, CacheRecord& record) {
    record.path = reader.Text(EntryPathSize);
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
        record.digest = reinterpret_cast<const uint8_t*>(reader.Bytes(DigestSize).data());
    }
    return !reader.Short() && (flags & ~(Described | Hashed)) == 0;
}

// The path of the record that starts at `offset`.
std::string_view PathAt(std::string_view bytes, uint32_t offset) {
    return Reader(bytes.substr(offset)).Text(EntryPathSize);
}

}  // namespace

std::string FileCache::Read(const std::string& path, const std::string& magicIdentity,
                            std::string& unused) {
    *this = FileCache();
    unused.clear();
    FileRead file = ReadTrustedFile(path, Exposure::Write, FinalLink::Refused, MaxCacheSize);
    if (!file.refusal.empty() || file.error == EISDIR) {
        return file.refusal.empty() ? "not a regular file" : file.refusal;
    }
    if (file.error == 0) {
        unused = Parse(std::move(file.bytes), magicIdentity);
    } else if (file.error == EFBIG) {
        unused = "larger than 2 GiB";
    } else if (file.error != ENOENT) {
        unused = std::generic_category().message(file.error);
    }
    return "";
}

std::string FileCache::Parse(std::string bytes, const std::string& magicIdentity) {
    *this = FileCache();
    if (std::string_view(bytes).substr(0, Magic.size()) != Magic) {
        return "not a cache file";
    }
    Reader reader(std::string_view(bytes).substr(Magic.size()));
    uint32_t version = static_cast<uint32_t>(reader.Number(4));
    if (!reader.Short() && version != FormatVersion) {
        return "written in format " + std::to_string(version) + ", not " +
               std::to_string(FormatVersion);
    }
    if (bytes.size() < Magic.size() + 4 + DigestSize) {
        return "cut short";
    }
    std::string_view body = std::string_view(bytes).substr(0, bytes.size() - DigestSize);
    std::array<uint8_t, 64> checksum = Sha512OfBytes(body);
    if (std::memcmp(checksum.data(), bytes.data() + body.size(), DigestSize) != 0) {
        return "checksum does not match, the file is cut short or damaged";
    }
    reader = Reader(body);
    reader.Bytes(Magic.size() + 4);  // the magic line and the version, read above
    std::string identity(reader.Text(body.size()));
    uint64_t count = reader.Number(8);
    if (reader.Short() || count > reader.Left() / MinRecordSize) {
        return "damaged header";
    }
    std::vector<uint32_t> records;
    records.reserve(count);
    std::string path;
    for (uint64_t i = 0; i < count; ++i) {
        records.push_back(static_cast<uint32_t>(reader.Position()));
        CacheRecord record;
        // A record only ever holds a path that a manifest can hold, once (below).
        if (!ReadRecord(reader, record) || !PathFitsManifest(path.assign(record.path))) {
            return "damaged record";
        }
    }
    auto byPath = [&bytes](uint32_t left, uint32_t right) {
        return PathAt(bytes, left) < PathAt(bytes, right);
    };
    // A run writes its records in path order already.
    if (!std::is_sorted(records.begin(), records.end(), byPath)) {
        std::sort(records.begin(), records.end(), byPath);
    }
    auto samePath = [&bytes](uint32_t left, uint32_t right) {
        return PathAt(bytes, left) == PathAt(bytes, right);
    };
    if (std::adjacent_find(records.begin(), records.end(), samePath) != records.end()) {
        return "damaged record";
    }
    if (reader.Left() != 0) {
        return "damaged: bytes after the last record";
    }
    bytes_ = std::move(bytes);
    records_ = std::move(records);
    magicIdentity_ = std::move(identity);
    descriptionsValid_ = magicIdentity_ == magicIdentity;
    return "";
}

CacheRecord FileCache::Record(size_t position) const {
    Reader reader(std::string_view(bytes_).substr(records_[position]));
    CacheRecord record;
    ReadRecord(reader, record);
    return record;
}

CacheRecord FileCache::Find(std::string_view path, size_t& position) const {
    auto found = std::lower_bound(records_.begin(), records_.end(), path,
                                  [this](uint32_t offset, std::string_view wanted) {
                                      return PathAt(bytes_, offset) < wanted;
                                  });
    if (found == records_.end() || PathAt(bytes_, *found) != path) {
        position = None;
        return {};
    }
    position = static_cast<size_t>(found - records_.begin());
    return Record(position);
}

CacheWriter::CacheWriter(Sink sink, std::string_view magicIdentity, uint64_t count)
    : sink_(std::move(sink)) {
    buffer_.reserve(BufferSize);
    buffer_ += Magic;
    Number(FormatVersion, 4);
    Text(magicIdentity);
    Number(count, 8);
}

void CacheWriter::Add(const CacheRecord& record) {
    Text(record.path);
    for (int64_t number : {static_cast<int64_t>(record.identity.device),
                           static_cast<int64_t>(record.identity.inode), record.identity.size,
                           record.identity.modifiedSeconds, record.identity.modifiedNanoseconds,
                           record.identity.changedSeconds, record.identity.changedNanoseconds}) {
        Number(static_cast<uint64_t>(number), 8);
    }
    Number((record.described ? Described : 0) | (record.hashed ? Hashed : 0), 1);
    if (record.described) {
        Text(record.description);
    }
    if (record.hashed) {
        buffer_.append(reinterpret_cast<const char*>(record.digest), DigestSize);
    }
    if (buffer_.size() >= BufferSize) {
        Flush();
    }
}

int CacheWriter::Finish() {
    Flush();
    std::array<uint8_t, 64> checksum = checksum_.Finish();
    if (error_ == 0) {
        error_ = sink_({reinterpret_cast<const char*>(checksum.data()), DigestSize});
    }
    return error_;
}

void CacheWriter::Number(uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        buffer_ += static_cast<char>((value >> (8 * i)) & 0xff);
    }
}

void CacheWriter::Text(std::string_view text) {
    Number(text.size(), 4);
    buffer_ += text;
}

void CacheWriter::Flush() {
    checksum_.Add(buffer_);
    if (error_ == 0) {
        error_ = sink_(buffer_);
    }
    buffer_.clear();
}
