// Replacing a file whole or not at all: the new content goes to a new file beside the target,
// which is flushed to disk and renamed over the target only once it is complete, so that a
// run cut short leaves the previous file as it was. By default a symbolic link is followed to
// the file it points at, and a target that exists and is not a regular file (a pipe, a
// device), or one of the process's own descriptors (/dev/stdout), is written directly, after
// what it holds. Files that decide trust, or sit beside one, take only a regular file.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

class ReplacementFile {
  public:
    enum class Target {
        Any,  // a link followed, a pipe or device written directly, as above
        // An existing target that is a symbolic link or not a regular file is refused, never
        // followed nor written through: in a folder others can write to, a link planted there
        // would have the program overwrite whatever it points at.
        RegularOnly,
    };
    // What Check() and Replace() return, with nothing written, when they refuse the target:
    // RegularOnly, a link or anything but a regular file; either, a file (or, Any, a link to it
    // or a pipe) that a user other than root and the caller owns. Kept, that user's would be the
    // file the program writes, theirs to rewrite; replaced, it could be a file of theirs planted
    // where others can write (as /tmp, or a collector's folder), which is left as it is and
    // reported. Every other failure is the system's error, a positive errno.
    static constexpr int NotRegular = -1;
    static constexpr int OwnedByOther = -2;

    explicit ReplacementFile(std::string path, Target target = Target::Any)
        : path_(std::move(path)), target_(target) {}

    // Whether the target could be replaced, before any work is done: 0, a refusal above or the
    // system's error.
    int Check() const;
    // Has `write` write the target's new content to the descriptor it is given, returning 0 or
    // the system's error; returns 0, a refusal or the first error, after which the target is as
    // it was. The target is judged again right before, and the rename replaces the name itself,
    // so that a link planted after Check() is replaced, not written through (RegularOnly), and
    // a file of another user's is refused, or replaced by the program's own when planted later.
    // The new file is the caller's, with the mode and group of the file it replaces, or mode
    // 0644 less the umask. A SIGINT, SIGTERM or SIGHUP that arrives meanwhile is held until the
    // temporary file is gone (renamed, or removed when the signal came before the rename), then
    // ends the process as usual.
    int Replace(const std::function<int(int fd)>& write) const;
    // The same with `parts`, in order, as the new content.
    int Replace(const std::vector<std::string_view>& parts) const;

    // The line that reports `error` from Check() or Replace(): "Error: refusing PATH: not a
    // regular file" for NotRegular, "Error: refusing PATH: owned by user UID, who could change
    // it" for OwnedByOther ("link LINK is owned by …" for a link), otherwise "Error: cannot write
    // WHAT PATH: REASON".
    std::string ErrorLine(std::string_view what, int error) const;

  private:
    // OwnedByOther when `status`, the target's, is a file of another user's, or 0.
    int JudgeOwner(const struct stat& status) const;
    // OwnedByOther when a symbolic link on the way from the path to the file it names, a folder
    // of the path or the file itself, is another user's: planted where others can write, it
    // would have the program write wherever it points. Or 0.
    int JudgeLinks() const;
    // OwnedByOther for another user's pipe, which would hold the run until that user reads it,
    // and read what the program writes; or 0.
    int JudgeWrittenDirectly(const struct stat& status) const;

    std::string path_;
    Target target_;
    // The owner of the file that the latest OwnedByOther found, and the link when it was one,
    // for its error line.
    mutable uid_t refusedOwner_ = 0;
    mutable std::string refusedLink_;
};
