#include "manifest/trusted_file.h"

#include <fcntl.h>
#include <fmt/core.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <deque>
#include <system_error>

#include "common/file_io.h"
#include "common/printable_path.h"

namespace {

// Far above any PEM key.
constexpr std::size_t MaxRefusedSecretSize = 64 * 1024;
// Links followed on the way to one file, as the kernel counts them before ELOOP.
constexpr int MaxLinks = 40;

bool OwnedByOther(const struct stat& status) {
    return status.st_uid != 0 && status.st_uid != geteuid();
}

std::string OwnerRefusal(const struct stat& status) {
    return fmt::format("owned by user {}, who could change it", status.st_uid);
}

std::string Refusal(const struct stat& status, Exposure exposure) {
    // A secret that others could change is no more the owner's than one they could read.
    const char* advice = exposure == Exposure::Read ? " (chmod 0400 it)" : "";
    if (exposure == Exposure::Read && (status.st_mode & (S_IRGRP | S_IROTH))) {
        return fmt::format("readable by group or others{}", advice);
    }
    if (status.st_mode & (S_IWGRP | S_IWOTH)) {
        return fmt::format("writable by group or others{}", advice);
    }
    return OwnedByOther(status) ? OwnerRefusal(status) : "";
}

// A folder that others may write to lets them rename any of its entries unless it is sticky,
// as /tmp is: there only an entry's owner may, and the entry's owner is judged in turn.
std::string FolderRefusal(const std::string& name, const struct stat& status) {
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) && !(status.st_mode & S_ISVTX)) {
        return fmt::format("folder {} is writable by group or others", PrintablePath(name));
    }
    return OwnedByOther(status)
               ? fmt::format("folder {} is {}", PrintablePath(name), OwnerRefusal(status))
               : "";
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
                return fmt::format("link {} is {}", PrintablePath(entryShown),
                                   OwnerRefusal(status));
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

FileRead ReadTrustedFile(const std::string& path, Exposure exposure, FinalLink link,
                         std::size_t limit) {
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
    if (!S_ISREG(status.st_mode)) {
        read.refusal = "not a regular file";
        return read;
    }
    read.refusal = Refusal(status, exposure);
    if (!read.refusal.empty()) {
        if (exposure != Exposure::Read) {
            return read;
        }
        // Only as far as a key could go: a refused secret is read only to name what it is.
        limit = std::min(limit, MaxRefusedSecretSize);
    }
    if (static_cast<std::size_t>(status.st_size) > limit) {
        read.error = EFBIG;
        return read;
    }
    read.bytes.reserve(static_cast<std::size_t>(status.st_size));
    read.error = ReadAll(fd.Get(), read.bytes, limit);
    return read;
}

std::string ReadTrustedFile(const std::string& path, Exposure exposure, const char* unreadable,
                            FileRead& file) {
    file = ReadTrustedFile(path, exposure);
    if (!file.refusal.empty()) {
        return fmt::format("Error: refusing {}{}: {}\n",
                           exposure == Exposure::Read ? "key file " : "", PrintablePath(path),
                           file.refusal);
    }
    if (file.error != 0) {
        return fmt::format("Error: {} {}: {}\n", unreadable, PrintablePath(path),
                           std::generic_category().message(file.error));
    }
    return "";
}
