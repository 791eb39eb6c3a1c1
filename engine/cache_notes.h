// What a run learns for the cache it leaves: each worker notes, compactly, which records of the
// cache read served it and what it described and hashed itself; once the workers have ended,
// their notes and the cache read merge into the next cache, one record per file in path
// order, which is counted, then written as a stream.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "engine/cache.h"

// One worker's notes. A record tells of one state of a file: what a worker learns of another
// state replaces what it noted of the earlier one.
class CacheNotes {
  public:
    enum Use : uint8_t { Description = 1, Digest = 2 };

    // The record at `position` of the cache read served for what `use` says; true when it
    // had not served this worker just before.
    bool Reused(size_t position, Use use);
    // What the worker learnt itself of the file at this manifest path, in this state. A path
    // that no manifest could hold is not noted.
    void Described(const std::string& path, const FileIdentity& identity,
                   const std::string& description);
    void Hashed(const std::string& path, const FileIdentity& identity, const uint8_t* digest);

  private:
    friend class NextCache;
    struct Note {
        std::string_view path;
        FileIdentity identity;
        const std::string* description = nullptr;
        const std::array<uint8_t, 64>* digest = nullptr;

        CacheRecord Record() const;
    };
    struct Reuse {
        uint32_t position;
        uint8_t uses;
    };

    Note* NoteFor(const std::string& path, const FileIdentity& identity);
    // Leaves one note per path, in path order, in `order_`.
    void Seal();
    // The note at `index` in that order, or nullptr past the last.
    const Note* Sealed(size_t index) const;

    std::deque<Note> notes_;
    std::vector<uint32_t> order_;
    std::vector<Reuse> reused_;
    // Where the notes point: paths packed in blocks, each description once, the digests.
    std::vector<std::unique_ptr<char[]>> pathBlocks_;
    size_t blockLeft_ = 0;
    std::unordered_set<std::string> descriptions_;
    std::deque<std::array<uint8_t, 64>> digests_;
};

// The next cache: the records of the cache read, as far as they served the run, and the
// workers' notes, what is known of one state of a file put together. Of a file noted in
// different states, the first worker's state is kept, and a state noted wins over a record
// that served.
class NextCache {
  public:
    NextCache(const FileCache& read, const std::vector<CacheNotes*>& notes);

    uint64_t Size() const { return size_; }
    // How many records served the run, in whole or in part.
    uint64_t Reused() const { return reused_; }
    // Writes the cache file's bytes to `sink`: 0, or the sink's first error.
    int Write(const std::string& magicIdentity, const CacheWriter::Sink& sink) const;

  private:
    // Calls `visit(record, reused)` for every record, in path order.
    template <typename Visit>
    void Merge(Visit visit) const;

    const FileCache& read_;
    const std::vector<CacheNotes*> notes_;
    std::vector<uint8_t> uses_;  // what each record of the cache read served for
    uint64_t size_ = 0;
    uint64_t reused_ = 0;
};
