// The table of the emulated facility: the entries loaded, kept in an append-only log of
// fixed-size records in the state directory, and the index of it that a reader builds.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>

#include "veriexec/device.h"

// The log's name in the state directory.
inline constexpr const char* EntriesFile = "entries";

// Appends one record to the log; 0 or an errno. Called with the facility's lock held.
int AppendEntry(const std::string& directory, const ManifestEntry& entry);

// The loaded table, read back: for each path, the latest record sent for it. Records are
// appended, never rewritten, so the index keeps only where each path's latest record lies.
class FacilityTable {
  public:
    FacilityTable() = default;
    ~FacilityTable();
    FacilityTable(const FacilityTable&) = delete;
    FacilityTable& operator=(const FacilityTable&) = delete;

    // Reads the index, under the facility's lock unless the caller holds it; 0 or an errno.
    int Open(const std::string& directory, bool lockHeld = false);
    // Paths in sorted order, each with the offset of its latest record.
    const std::map<std::string, off_t>& Latest() const { return latest_; }
    bool Read(off_t offset, ManifestEntry& entry) const;
    // What the kernel would decide at exec time for the file loaded as `path`, whose content
    // is read from `content`: "ok", or why not. Fills `entry` when `path` has one.
    std::string Verdict(const std::string& path, const std::string& content,
                        ManifestEntry& entry) const;

  private:
    int fd_ = -1;
    std::map<std::string, off_t> latest_;
};
