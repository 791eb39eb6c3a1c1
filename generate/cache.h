// What a run knows of files it has read before: for each regular file, its status when it was
// read (device, inode, size, modification and change times), its libmagic description and its
// digest. A file whose status is the same is not read again. The cache file carries a format
// version, the libmagic version and database it was described with, and a checksum; one that
// is damaged or foreign is not used at all, so that a cache can make a run slower, never wrong.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "generate/file_identity.h"

struct CacheRecord {
    FileIdentity identity;
    bool described = false;
    std::string description;  // libmagic's, when described
    bool hashed = false;
    std::array<uint8_t, 64> digest{};  // SHA-512, when hashed
};

// Adds to `into` what `other`, a record of the same state of the same file, knows that it
// does not: two workers may each have learnt part of it, as a queued file and in a walk.
void MergeRecord(CacheRecord& into, const CacheRecord& other);

class FileCache {
  public:
    // Reads the cache file at `path`. A file that does not exist is an empty cache; otherwise
    // returns why the file is not used ("" when it is), and the cache stays empty.
    std::string Read(const std::string& path, const std::string& magicIdentity);
    // Reads a cache from its bytes; returns why they are not used, or "".
    std::string Parse(std::string_view bytes, const std::string& magicIdentity);

    // The record of the file at this manifest path, or nullptr.
    const CacheRecord* Find(const std::string& path) const;
    // Whether the recorded descriptions are libmagic's of today: same version, same database.
    bool DescriptionsValid() const { return descriptionsValid_; }
    // The records, in the order the file holds them, and the libmagic it was written with.
    const std::vector<std::pair<std::string, CacheRecord>>& Records() const { return records_; }
    const std::string& MagicIdentity() const { return magicIdentity_; }

  private:
    std::vector<std::pair<std::string, CacheRecord>> records_;
    std::unordered_map<std::string, size_t> index_;
    std::string magicIdentity_;
    bool descriptionsValid_ = false;
};

// The bytes of a cache file holding `records` (paths that a manifest can hold, each once).
std::string SerializeCache(const std::string& magicIdentity,
                           const std::vector<std::pair<std::string, CacheRecord>>& records);
