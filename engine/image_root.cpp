#include "engine/image_root.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <deque>
#include <memory>
#include <utility>

namespace {

// As many links as the system itself follows in one path before it gives up.
constexpr int MaxLinks = 40;

// A directory opened only to look names up in it: that takes no right to read it, and a link
// in its place fails the open.
constexpr int SearchFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::deque<std::string> Components(const std::string& path) {
    std::deque<std::string> names;
    for (size_t start = 0, end; start <= path.size(); start = end + 1) {
        end = std::min(path.find('/', start), path.size());
        if (end > start) {
            names.emplace_back(path, start, end - start);
        }
    }
    return names;
}

// 0 with the target of the link `name` in `directory`; EINVAL when it is no link, or another
// error of the system.
int ReadLink(int directory, const std::string& name, std::string& target) {
    char buffer[PATH_MAX];
    ssize_t length = readlinkat(directory, name.c_str(), buffer, sizeof buffer);
    if (length < 0 || static_cast<size_t>(length) == sizeof buffer) {
        return length < 0 ? errno : ENAMETOOLONG;
    }
    target.assign(buffer, static_cast<size_t>(length));
    return 0;
}

// Opens the directories `names` one below the other from `start`; invalid, with errno set,
// when one of them does not open.
UniqueFd Descend(int start, const std::vector<std::string>& names) {
    UniqueFd at(openat(start, ".", SearchFlags));
    for (auto name = names.begin(); name != names.end() && at.Valid(); ++name) {
        at = UniqueFd(openat(at.Get(), name->c_str(), SearchFlags));
    }
    return at;
}

}  // namespace

// How far a path leads from where it starts: the names it resolves to, and the directory
// that holds the last of them, open, unless a name on the way does not open (then what
// follows resolves by name alone, as a path that does not exist does).
struct ImageRoot::Trail {
    std::vector<std::string> names;
    bool named = false;  // whether the path ends on names.back(), not on a directory it opened
    UniqueFd directory;
    int error = 0;  // why `directory` is not open
};

int CheckImageRoot(const std::string& directory) {
    UniqueFd fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.Valid()) {
        return errno;
    }
    return access(directory.c_str(), X_OK) == 0 ? 0 : errno;
}

ImageRoot::ImageRoot(std::string directory) : root_(std::move(directory)) {
    while (root_.size() > 1 && root_.back() == '/') {
        root_.pop_back();
    }
    // The running system's own root needs no resolving of ours.
    if (root_ == "/") {
        root_.clear();
    }
    if (!root_.empty()) {
        rootFd_ = UniqueFd(open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        rootError_ = rootFd_.Valid() ? 0 : errno;
    }
}

int ImageRoot::Follow(const std::string& path, Trail& trail) const {
    bool image = !root_.empty();
    UniqueFd start(image ? openat(rootFd_.Get(), ".", SearchFlags)
                         : open(path.front() == '/' ? "/" : ".", SearchFlags));
    if (!start.Valid()) {
        return image && !rootFd_.Valid() ? rootError_ : errno;
    }
    std::vector<std::string>& names = trail.names;
    auto moveTo = [&trail](UniqueFd directory) {
        trail.error = directory.Valid() ? 0 : errno;
        trail.directory = std::move(directory);
    };
    moveTo(Descend(start.Get(), names));
    std::deque<std::string> pending = Components(path);
    int links = 0;
    while (!pending.empty()) {
        std::string name = std::move(pending.front());
        pending.pop_front();
        if (name == "." || name == "..") {
            trail.named = false;
            if (name == "." || (names.empty() && image)) {
                // The image's root is its own parent, as "/" is.
                continue;
            }
            if (names.empty()) {
                // Above the working directory, on the running system.
                start = UniqueFd(openat(start.Get(), "..", SearchFlags));
                if (!start.Valid()) {
                    return errno;
                }
            } else {
                names.pop_back();
            }
            moveTo(Descend(start.Get(), names));
            continue;
        }
        std::string target;
        int error =
            trail.directory.Valid() ? ReadLink(trail.directory.Get(), name, target) : EINVAL;
        if (error == ENAMETOOLONG) {
            return error;
        }
        if (error != 0) {
            names.push_back(std::move(name));
            trail.named = true;
            if (!pending.empty() && trail.directory.Valid()) {
                moveTo(UniqueFd(openat(trail.directory.Get(), names.back().c_str(), SearchFlags)));
            }
            continue;
        }
        if (++links > MaxLinks) {
            return ELOOP;
        }
        trail.named = false;
        if (!target.empty() && target.front() == '/') {
            names.clear();
            if (!image) {
                start = UniqueFd(open("/", SearchFlags));
            }
            moveTo(Descend(start.Get(), names));
        }
        std::deque<std::string> more = Components(target);
        pending.insert(pending.begin(), more.begin(), more.end());
    }
    return 0;
}

std::string ImageRoot::HostPath(const std::string& path, const Trail& trail) const {
    if (root_.empty()) {
        return path;
    }
    std::string result = root_;
    for (const std::string& name : trail.names) {
        result += "/" + name;
    }
    // A trailing separator keeps its meaning: the path must name a directory.
    return trail.names.empty() || path.back() == '/' ? result + "/" : result;
}

int ImageRoot::Resolve(const std::string& path, std::string& result) const {
    // An empty path names nothing, in the image as on the system.
    if (root_.empty() || path.empty()) {
        result = path;
        return 0;
    }
    Trail trail;
    if (int error = Follow(path, trail); error != 0) {
        return error;
    }
    result = HostPath(path, trail);
    return 0;
}

int ImageRoot::Locate(const std::string& path, ImageLocation& location) const {
    if (path.empty()) {
        return ENOENT;
    }
    Trail trail;
    if (int error = Follow(path, trail); error != 0) {
        return error;
    }
    if (!trail.directory.Valid()) {
        return trail.error;
    }
    std::string name = trail.named ? trail.names.back() : ".";
    struct stat status;
    if (path.back() == '/' &&
        fstatat(trail.directory.Get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISDIR(status.st_mode)) {
        return ENOTDIR;
    }
    location.hostPath = HostPath(path, trail);
    location.directory = std::move(trail.directory);
    location.name = std::move(name);
    return 0;
}

bool ImageRoot::NamesLink(const std::string& path) const {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') {
        trimmed.pop_back();
    }
    size_t slash = trimmed.rfind('/');
    std::string name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        return false;
    }
    ImageLocation parent;
    if (Locate(slash == std::string::npos ? "./" : trimmed.substr(0, slash + 1), parent) != 0) {
        return false;
    }
    UniqueFd directory(openat(parent.directory.Get(), parent.name.c_str(), SearchFlags));
    struct stat status;
    return directory.Valid() &&
           fstatat(directory.Get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISLNK(status.st_mode);
}

int ImageRoot::Canonical(const std::string& path, std::string& result) const {
    if (root_.empty()) {
        std::unique_ptr<char, decltype(&free)> real(realpath(path.c_str(), nullptr), &free);
        if (real == nullptr) {
            return errno;
        }
        result = real.get();
        return 0;
    }
    if (int error = Resolve(path, result); error != 0) {
        return error;
    }
    while (result.size() > 1 && result.back() == '/') {
        result.pop_back();
    }
    return 0;
}
