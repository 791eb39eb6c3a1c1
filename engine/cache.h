// What a run knows of files it has read before: for each regular file, its status when it was
// read (device, inode, size, modification and change times), its libmagic description and its
// digest. A file whose status is the same is not read again. The cache file carries a format
// version, the libmagic version and database it was described with, and a checksum; one that
// is damaged or foreign is not used at all, and one that someone else could have written is
// refused, so that a cache can make a run slower, never wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/digest.h"
#include "engine/file_identity.h"

// One file's record. It points into the storage of whoever holds the record: the bytes of the
// cache file read, or what a worker noted.
struct CacheRecord {
    std::string_view path;  // as the manifest names the file
    FileIdentity identity;
    bool described = false;
    std::string_view description;  // libmagic's, when described
    bool hashed = false;
    const uint8_t* digest = nullptr;  // the 64 bytes of its SHA-512, when hashed
};

// The cache file read: its bytes, held whole, and where each record starts in them, in path
// order.
class FileCache {
  public:
    static constexpr size_t None = SIZE_MAX;

    // Reads the cache file at `path`, judged as a file that decides trust is (see
    // ReadTrustedFile): whoever else could write it or swap it could have a changed file taken
    // for the one recorded. Returns why it is refused, or ""; then puts in `unused` why it is
    // not used all the same ("" when it is), and the cache stays empty. A file that does not
    // exist is an empty cache, but its folders are judged all the same: a run writes it there.
    std::string Read(const std::string& path, const std::string& magicIdentity,
                     std::string& unused);
    // Takes a cache from its bytes; returns why they are not used, or "".
    std::string Parse(std::string bytes, const std::string& magicIdentity);

    // The records in path order: how many there are, and the one at `position`.
    size_t Size() const { return records_.size(); }
    CacheRecord Record(size_t position) const;
    // The record of the file at this manifest path, its position put in `position`; when there
    // is none, a record that knows nothing, and None.
    CacheRecord Find(std::string_view path, size_t& position) const;
    // Whether the recorded descriptions are libmagic's of today: same version, same database.
    bool DescriptionsValid() const { return descriptionsValid_; }
    const std::string& MagicIdentity() const { return magicIdentity_; }

  private:
    std::string bytes_;
    std::vector<uint32_t> records_;  // offsets in bytes_, a file being at most 2 GiB
    std::string magicIdentity_;
    bool descriptionsValid_ = false;
};

// Writes a cache file as a stream, the records in the order they are added: path order spares
// the reader its sorting.
class CacheWriter {
  public:
    // Where the bytes go; returns 0 or the system's error.
    using Sink = std::function<int(std::string_view bytes)>;

    CacheWriter(Sink sink, std::string_view magicIdentity, uint64_t count);
    void Add(const CacheRecord& record);
    // Writes the rest and the checksum: 0, or the first error of the sink.
    int Finish();

  private:
    void Number(uint64_t value, int bytes);
    void Text(std::string_view text);
    void Flush();

    Sink sink_;
    std::string buffer_;
    Sha512Stream checksum_;
    int error_ = 0;
};
