// Replacing a file whole or not at all: the new content goes to a new file beside the target,
// which is flushed to disk and renamed over the target only once it is complete, so that a
// run cut short leaves the previous file as it was. A target that exists and is not a regular
// file (a pipe, a device), and one of the process's own descriptors (/dev/stdout), is written
// directly, after what it holds.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

class ReplacementFile {
  public:
    explicit ReplacementFile(std::string path) : path_(std::move(path)) {}

    // Whether the target could be replaced, before any work is done: 0 or the system's error.
    int Check() const;
    // Has `write` write the target's new content to the descriptor it is given, returning 0 or
    // the system's error; returns 0 or the first error, after which the target is as it was.
    // The new file keeps the mode, owner and group of the file it replaces, or has mode 0644
    // less the umask. A SIGINT, SIGTERM or SIGHUP that arrives meanwhile is held until the
    // temporary file is gone (renamed, or removed when the signal came before the rename), then
    // ends the process as usual.
    int Replace(const std::function<int(int fd)>& write) const;
    // The same with `parts`, in order, as the new content.
    int Replace(const std::vector<std::string_view>& parts) const;

  private:
    std::string path_;
};
