// Reading a manifest line by line: as a stream from its file, in memory that grows neither
// with the file nor with any line of it, or from bytes already read and verified; each line
// parsed as the format says, with its number.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/file_io.h"
#include "manifest/entry.h"
#include "manifest/format.h"

// A manifest read line by line: as a stream from its file, in memory that does not grow with
// the file or with any line of it; or from bytes already read and verified.
class ManifestReader {
  public:
    // Opens the manifest; when it cannot, says so on standard error and returns false.
    bool Open(const std::string& path);
    // Opens the manifest and says nothing; 0 or the errno of open(2), for the caller's own
    // message.
    int OpenSilently(const std::string& path);
    // Reads `bytes`, which must outlive the reader, as the manifest at `path`.
    void Use(const std::string& path, std::string_view bytes);
    // Reads and parses the next line, as ParseManifestLine does; false at the end. A read
    // failure is read as one more bad line, the last, whose one message names it: stopping
    // there silently would pass a partial manifest for a whole one.
    bool ReadLine(ManifestEntry& entry, LineOutcome& outcome, std::vector<std::string>& warnings);
    // Reads on to the next entry line and fills `entry` from it. Every bad line, and a read
    // failure, is warned of at once and counted in `errors`.
    bool NextEntry(ManifestEntry& entry, int& errors);
    // The fault of the first line in `bytes` that sign refuses, or "" when there is none: one
    // that load counts as an error, in load's words ("line N: REASON"), or an entry whose path
    // is not in normal form, which generate never writes and which names a file in other words
    // than the ones a reader compares. Prints nothing, looks at no file.
    static std::string FirstBadLine(std::string_view bytes);
    // Whether a read of the file failed: the lines read are then not the whole manifest.
    bool ReadFailed() const { return readFailed_; }

  private:
    bool NextLine(std::string_view& line);
    // Moves the unread bytes to the front of the buffer.
    void Compact();
    // Reads more of the file into the buffer after `at`; false after a read failure.
    bool Fill(std::size_t at);

    std::string path_;
    UniqueFd file_;
    std::string_view bytes_;  // what is left of a manifest in memory
    // The file's bytes read but not yet taken: [begin_, end_), with no line feed before
    // searched_. Room for a kept line and as much again to read on into.
    std::unique_ptr<char[]> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::size_t searched_ = 0;
    bool atEnd_ = false;
    std::optional<LineTail> tail_;  // of the line just read, when it was cut
    int lineNumber_ = 0;
    int readError_ = 0;
    bool readFailed_ = false;
    std::vector<std::string> warnings_;
};
