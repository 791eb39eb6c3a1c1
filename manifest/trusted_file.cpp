#include "manifest/trusted_file.h"

#include <fcntl.h>
#include <fmt/core.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <deque>
#include <system_error>

#include "common/file_io.h"

namespace {

// Far above any manifest (a few hundred bytes a file) and a bound on what a file given here
// can make the program allocate.
constexpr std::size_t MaxTrustedFileSize = std::size_t{1} << 30;
// Links followed on the way to one file, as the kernel counts them before ELOOP.
constexpr int MaxLinks = 40;

bool OwnedByOther(const struct stat& status) {
    return status.st_uid != 0 && status.st_uid != geteuid();
}

std::string OwnerRefusal(const struct stat& status) {
    return fmt::format("owned by user {}, who could change it", status.st_uid);
}

std::string Refusal(const struct stat& status, Exposure exposure) {
    if (exposure == Exposure::Read && (status.st_mode & (S_IRGRP | S_IROTH))) {
        return "readable by group or others (chmod 0400 it)";
    }
    if (exposure == Exposure::Write && (status.st_mode & (S_IWGRP | S_IWOTH))) {
        return "writable by group or others";
    }
    return OwnedByOther(status) ? OwnerRefusal(status) : "";
}

// A folder that others may write to lets them rename any of its entries unless it is sticky,
// as /tmp is: there only an entry's owner may, and the entry's owner is judged in turn.
std::string FolderRefusal(const std::string& name, const struct stat& status) {
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) && !(status.st_mode & S_ISVTX)) {
        return fmt::format("folder {} is writable by group or others", name);
    }
    return OwnedByOther(status) ? fmt::format("folder {} is {}", name, OwnerRefusal(status)) : "";
}

std::string Joined(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder.back() == '/' ? folder + name : folder + '/' + name;
}

// Puts the names of `path`, in order, before those of `names`.
void PushNames(const std::string& path, std::deque<std::string>& names) {
    std::deque<std::string> pushed;
    for (size_t at = 0; at < path.size();) {
        size_t end = std::min(path.find('/', at), path.size());
        if (end > at) {
            pushed.push_back(path.substr(at, end - at));
        }
        at = end + 1;
    }
    names.insert(names.begin(), pushed.begin(), pushed.end());
}

// Why someone other than root and this user could swap the file `path` names: a folder that
// finding it looks a name up in, from /, or a link it follows, that they could change; or, for
// a final link that is refused, "not a regular file". "" when nothing is refused or the path
// leads nowhere, which opening it reports. Folders are named as `path` spells them until a
// link leads elsewhere, then by their full path.
std::string WayRefusal(const std::string& path, FinalLink link) {
    std::string folder = "/";  // where the next name is looked up: a full path free of links
    bool relative = path.empty() || path.front() != '/';
    std::string shown = relative ? "" : "/";
    std::deque<std::string> names;
    PushNames(path, names);
    // The current folder and those above it come first, named by their full path; the names
    // of `path` are shown from there on as `path` spells them.
    size_t currentNames = 0;
    if (relative) {
        char current[PATH_MAX];
        if (getcwd(current, sizeof current) == nullptr) {
            return "the current folder cannot be judged: " + std::generic_category().message(errno);
        }
        currentNames = names.size();
        PushNames(current, names);
        currentNames = names.size() - currentNames;
    }
    struct stat status;
    if (lstat("/", &status) != 0) {
        return "";
    }
    if (std::string refusal = FolderRefusal("/", status); !refusal.empty()) {
        return refusal;
    }
    bool spelled = true;
    for (int links = 0; !names.empty();) {
        std::string name = std::move(names.front());
        names.pop_front();
        bool ofCurrent = currentNames > 0;
        currentNames -= ofCurrent ? 1 : 0;
        if (name == "." || name == "..") {
            folder =
                name == "." ? folder : folder.substr(0, std::max<size_t>(folder.rfind('/'), 1));
            shown = spelled ? Joined(shown, name) : folder;
            continue;
        }
        std::string entry = Joined(folder, name);
        std::string entryShown = spelled && !ofCurrent ? Joined(shown, name) : entry;
        bool last = names.empty();
        if (lstat(entry.c_str(), &status) != 0) {
            return "";
        }
        if (S_ISLNK(status.st_mode)) {
            if (last && link == FinalLink::Refused) {
                return "not a regular file";
            }
            if (OwnedByOther(status)) {
                return fmt::format("link {} is {}", entryShown, OwnerRefusal(status));
            }
            char target[PATH_MAX];
            ssize_t length = readlink(entry.c_str(), target, sizeof target);
            if (length <= 0 || length >= static_cast<ssize_t>(sizeof target) ||
                ++links > MaxLinks) {
                return "";
            }
            PushNames(std::string(target, static_cast<size_t>(length)), names);
            folder = target[0] == '/' ? "/" : folder;
            spelled = false;
            continue;
        }
        if (last || !S_ISDIR(status.st_mode)) {
            return "";
        }
        if (std::string refusal = FolderRefusal(entryShown, status); !refusal.empty()) {
            return refusal;
        }
        folder = entry;
        shown = ofCurrent ? "" : entryShown;
    }
    return "";
}

}  // namespace

FileRead ReadTrustedFile(const std::string& path, Exposure exposure, FinalLink link) {
    FileRead read;
    read.target = link == FinalLink::Followed ? FinalTarget(path) : path;
    read.refusal = WayRefusal(path, link);
    if (!read.refusal.empty()) {
        return read;
    }
    // O_NOFOLLOW: a link planted since it was judged fails the open, never leads elsewhere.
    UniqueFd fd(open(read.target.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC |
                                              (link == FinalLink::Refused ? O_NOFOLLOW : 0)));
    struct stat status;
    if (!fd.Valid() || fstat(fd.Get(), &status) != 0) {
        read.error = errno;
        return read;
    }
    if (S_ISDIR(status.st_mode)) {
        read.error = EISDIR;
        return read;
    }
    read.refusal = S_ISREG(status.st_mode) ? Refusal(status, exposure) : "not a regular file";
    if (read.refusal.empty()) {
        read.error = ReadAll(fd.Get(), read.bytes, MaxTrustedFileSize);
    }
    return read;
}

std::string ReadTrustedFile(const std::string& path, Exposure exposure, const char* unreadable,
                            FileRead& file) {
    file = ReadTrustedFile(path, exposure);
    if (!file.refusal.empty()) {
        return fmt::format("Error: refusing {}{}: {}\n",
                           exposure == Exposure::Read ? "key file " : "", path, file.refusal);
    }
    if (file.error != 0) {
        return fmt::format("Error: {} {}: {}\n", unreadable, path,
                           std::generic_category().message(file.error));
    }
    return "";
}
