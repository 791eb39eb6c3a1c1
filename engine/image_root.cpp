#include "engine/image_root.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <deque>
#include <utility>
#include <vector>

#include "common/file_io.h"

namespace {

// As many links as the system itself follows in one path before it gives up.
constexpr int MaxLinks = 40;

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

}  // namespace

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
}

int ImageRoot::Resolve(const std::string& path, std::string& result) const {
    // An empty path names nothing, in the image as on the system.
    if (root_.empty() || path.empty()) {
        result = path;
        return 0;
    }
    std::deque<std::string> pending = Components(path);
    std::vector<std::string> resolved;
    std::string current = root_;
    int links = 0;
    while (!pending.empty()) {
        std::string name = std::move(pending.front());
        pending.pop_front();
        if (name == ".") {
            continue;
        }
        if (name == "..") {
            // The image's root is its own parent, as "/" is.
            if (!resolved.empty()) {
                current.resize(current.size() - resolved.back().size() - 1);
                resolved.pop_back();
            }
            continue;
        }
        std::string candidate = current + "/" + name;
        struct stat status;
        if (lstat(candidate.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            current = std::move(candidate);
            resolved.push_back(std::move(name));
            continue;
        }
        if (++links > MaxLinks) {
            return ELOOP;
        }
        char buffer[PATH_MAX];
        ssize_t length = readlink(candidate.c_str(), buffer, sizeof buffer);
        if (length < 0 || static_cast<size_t>(length) == sizeof buffer) {
            return length < 0 ? errno : ENAMETOOLONG;
        }
        std::string target(buffer, static_cast<size_t>(length));
        if (!target.empty() && target.front() == '/') {
            current = root_;
            resolved.clear();
        }
        std::deque<std::string> names = Components(target);
        pending.insert(pending.begin(), names.begin(), names.end());
    }
    // A trailing separator keeps its meaning: the path must name a directory.
    result = resolved.empty() ? root_ + "/" : current + (path.back() == '/' ? "/" : "");
    return 0;
}
