// The table of the emulated facility: the entries loaded, each with the identity of the file it
// named when it was loaded, kept in an append-only log of fixed-size records in the state
// directory; the index of it that a reader keeps; and the trust of the calling program.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "common/file_io.h"
#include "engine/digest.h"
#include "manifest/entry.h"

// The log's name in the state directory.
inline constexpr const char* EntriesFile = "entries";

// A file as the table keys it: its device and inode (st_dev, st_ino). The kernel also keys by
// a generation number, without which a new file given a deleted file's inode number finds the
// deleted file's entry, as it does here.
struct TableKey {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator<(const TableKey& other) const {
        return std::tie(device, inode) < std::tie(other.device, other.inode);
    }
};

// The key of the file at `path`, symbolic links followed; 0 or an errno.
int KeyOf(const std::string& path, TableKey& key);

#pragma pack(push, 1)
// One record of the log: the key of the file that an entry's path named when it was loaded,
// and the entry as it was sent. Its fields are read by value: packed, they may be misaligned.
struct TableRecord {
    uint64_t device;
    uint64_t inode;
    ManifestEntry entry;
    TableKey Key() const { return {device, inode}; }
};
#pragma pack(pop)

// Appends one record to the log; 0 or an errno. Called with the facility's lock held.
int AppendEntry(const std::string& directory, const TableRecord& record);

// Digests the content of the file a verdict is asked for, with an algorithm as OpenSSL names it.
using ContentDigest = std::function<DigestResult(const char* algorithm)>;

// What the kernel would decide at exec time for a file.
struct FileVerdict {
    bool verified = false;
    // Why not: "not in the table", "fingerprint does not match", ...; with `unreadable`, why the
    // file or the table could not be read, which leaves the question open.
    std::string reason;
    bool unreadable = false;
    std::optional<ManifestEntry> entry;  // the file's entry, when it has one
};

// The loaded table as an index: for each file, where the latest record sent for it
// lies. Within a boot the log only grows, so bringing the index up to date reads only the
// records appended since the last time; a new boot starts it over.
class FacilityTable {
  public:
    // Brings the index up to the log of `directory` for the facility's boot `boot`, as it
    // stands; 0 or an errno. Called with the facility's lock held.
    int Update(const std::string& directory, uint64_t boot);
    // Each loaded key with the offset of its latest record.
    const std::map<TableKey, off_t>& Latest() const { return latest_; }
    bool Read(off_t offset, TableRecord& record) const;
    // The verdict on the file at `path`, whose content `digest` digests.
    FileVerdict Verdict(const std::string& path, const ContentDigest& digest) const;

  private:
    std::string directory_;
    uint64_t boot_ = 0;
    UniqueFd log_;
    off_t end_ = 0;  // how far the log has been read, in whole records
    std::map<TableKey, off_t> latest_;
};

// The process as the kernel knows it: the program it runs, looked up in the table as it stands
// at every request, as the kernel does. The kernel refuses to execute a program whose content
// does not match its entry; the stand-in cannot, so a trusted program must also match.
class CallerTrust {
  public:
    // `program`: the file the process runs (/proc/self/exe).
    explicit CallerTrust(std::string program) : program_(std::move(program)) {}
    // Whether the program's entry carries the Trusted flag. Called with the facility's lock held.
    bool Trusted(const std::string& directory, uint64_t boot);

  private:
    // The program's text cannot change while it runs: each digest is taken once.
    DigestResult ProgramDigest(const char* algorithm);

    const std::string program_;
    FacilityTable table_;
    std::map<std::string, DigestResult> digests_;
};
