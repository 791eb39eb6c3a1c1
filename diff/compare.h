// Two manifests compared as the kernel's table would hold them: the old one kept in memory,
// sorted by path, and the new one compared with it entry by entry as it is read. Where a
// manifest lists a path twice its later line counts, as the later record replaces the earlier
// one in the table. Paths are compared as texts; those of one normal form, which the kernel
// holds as one entry, are marked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/entry.h"

enum class DifferenceKind { Added, Removed, Changed, Flags };

struct Difference {
    DifferenceKind kind;
    std::string_view path;
    uint8_t oldFlags;  // the flags the old manifest gives the path, when it lists it
    uint8_t newFlags;  // and the new one's
    // When other paths of either manifest have this one's normal form, and so name the same file
    // (unless a ".." climbs out of a link), which the kernel holds as one entry: all of them,
    // this one too, in byte order; nullptr otherwise.
    const std::vector<std::string_view>* alike;
};

class ManifestComparison {
  public:
    // The old manifest's entries in file order, then FinishOld, then the new manifest's in file
    // order, then FinishNew.
    void AddOld(const ManifestEntry& entry);
    void FinishOld();
    void AddNew(const ManifestEntry& entry);
    void FinishNew();

    // The paths each manifest lists.
    std::size_t OldEntries() const { return old_.size(); }
    std::size_t NewEntries() const { return newEntries_; }

    // Calls `visit` with each difference, in the byte order of the paths; a path whose
    // fingerprint and flags both differ comes as Changed, then Flags.
    void ForEachDifference(const std::function<void(const Difference&)>& visit) const;

  private:
    struct OldRecord {
        std::string path;
        uint32_t order;  // the line's place in its manifest: the later of two wins
        uint8_t flags;
        uint8_t newFlags = 0;
        bool listedInNew = false;
        bool changed = false;
        char type[FingerprintTypeSize];
        uint8_t fingerprint[FingerprintSize];
    };
    struct AddedRecord {
        std::string path;
        uint32_t order;
        uint8_t flags;
    };

    // The paths that share their normal form with another, by that form, from FinishNew on.
    const std::vector<std::string_view>* Alike(std::string_view path) const;

    std::vector<OldRecord> old_;
    std::vector<AddedRecord> added_;
    std::map<std::string, std::vector<std::string_view>, std::less<>> alike_;
    uint32_t newOrder_ = 0;
    std::size_t newEntries_ = 0;
};
