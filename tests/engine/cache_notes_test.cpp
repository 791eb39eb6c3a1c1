// The next cache: one record per file, in path order, of one state of the file, put together
// from what the workers noted. What served them of the cache read, the cache test finds in the
// counts of a run and the cache it writes.
#include "engine/cache_notes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

static FileIdentity State(int64_t size) {
    return {0, 0, size};  // device and inode 0: the size alone tells the states apart
}

// The records of the cache that `next` writes, read back, each as "path size description
// digest", "-" for what it lacks.
static std::vector<std::string> Records(const NextCache& next) {
    std::string bytes;
    EXPECT_EQ(next.Write("libmagic", [&bytes](std::string_view part) { return bytes += part, 0; }),
              0);
    FileCache cache;
    EXPECT_EQ(cache.Parse(bytes, "libmagic"), "");
    std::vector<std::string> records;
    for (size_t position = 0; position < cache.Size(); ++position) {
        CacheRecord record = cache.Record(position);
        records.push_back(std::string(record.path) + " " + std::to_string(record.identity.size) +
                          " " + (record.described ? std::string(record.description) : "-") + " " +
                          (record.hashed ? std::to_string(record.digest[0]) : "-"));
    }
    return records;
}

const uint8_t Seven[64] = {7};
const uint8_t Nine[64] = {9};

TEST(NextCacheTest, WorkersNotesOfOneStateMergeAndTheFirstWorkersStateWins) {
    CacheNotes first, second;
    first.Described("/c", State(1), "old");
    first.Hashed("/b", State(1), Seven);
    first.Described("/c x", State(1), "no manifest holds this path");
    // A later state replaces what the worker noted of an earlier one.
    first.Hashed("/c", State(2), Nine);
    second.Described("/a", State(1), "text");
    second.Described("/b", State(1), "ELF");
    second.Described("/c", State(3), "another state");
    const FileCache none;
    NextCache next(none, {&first, &second});
    EXPECT_EQ(next.Reused(), 0u);
    EXPECT_EQ(Records(next), (std::vector<std::string>{"/a 1 text -", "/b 1 ELF 7", "/c 2 - 9"}));
}
