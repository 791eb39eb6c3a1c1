#include "common/replacement_file.h"

#include <fcntl.h>
#include <fmt/core.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <random>
#include <system_error>
#include <vector>

#include "common/file_io.h"
#include "common/printable_path.h"

namespace {

// One of the process's own descriptors, by one of its names, never a path through them.
bool OwnDescriptor(const std::string& path) {
    for (std::string_view folder : {"/dev/fd/", "/proc/self/fd/"}) {
        if (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
            path.find_first_not_of("0123456789", folder.size()) == std::string::npos) {
            return true;
        }
    }
    return path == "/dev/stdout" || path == "/dev/stderr";
}

// A device, a pipe, or one of the process's own descriptors: /dev/stdout stays the process's
// standard output even when that is a regular file, which a rename would take the manifest
// away from.
bool WrittenDirectly(const std::string& path, const struct stat& status) {
    return !S_ISREG(status.st_mode) || OwnDescriptor(path);
}

void SplitPath(const std::string& path, std::string& directory, std::string& name) {
    size_t slash = path.rfind('/');
    directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// Holds the signals that would end the process while a temporary file has a name, on this
// thread, the only one left when a run replaces its files.
class HeldSignals {
  public:
    HeldSignals() {
        sigemptyset(&held_);
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
            sigaddset(&held_, signal);
        }
        pthread_sigmask(SIG_BLOCK, &held_, &previous_);
    }
    ~HeldSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

    // A held signal that will end the process once let through. One the process ignores is
    // pending all the same while held (under nohup, SIGHUP), and must not cost the manifest.
    bool AnyPending() const {
        sigset_t pending;
        sigpending(&pending);
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction action;
            if (sigismember(&pending, signal) == 1 && sigismember(&previous_, signal) == 0 &&
                sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_DFL) {
                return true;
            }
        }
        return false;
    }

  private:
    sigset_t held_;
    sigset_t previous_;
};

// Creates a file of a new name beside the target: ".NAME.XXXXXX".
int CreateTemporary(int directory, const std::string& name, std::string& temporary) {
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = fmt::format(".{}.{:06x}", name, random() & 0xffffff);
        int fd = openat(directory, temporary.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

int ReplacementFile::JudgeOwner(const struct stat& status) const {
    if (status.st_uid == 0 || status.st_uid == geteuid()) {
        return 0;
    }
    refusedOwner_ = status.st_uid;
    return OwnedByOther;
}

int ReplacementFile::JudgeLinks() const {
    // Walks the path a name at a time, as the system resolves it, judging each link it meets.
    std::string resolved = path_.rfind('/', 0) == 0 ? "" : ".";
    std::vector<std::string> names;  // still to walk, the next one last
    auto push = [&names](const std::string& path) {
        for (size_t end = path.size(); end != std::string::npos && end > 0;) {
            size_t slash = path.rfind('/', end - 1);
            size_t begin = slash == std::string::npos ? 0 : slash + 1;
            if (end > begin) {
                names.push_back(path.substr(begin, end - begin));
            }
            end = slash;
        }
    };
    push(path_);
    for (int hops = 0; !names.empty() && hops < 40 && !OwnDescriptor(path_);) {
        std::string next = resolved + "/" + names.back();
        names.pop_back();
        struct stat status;
        char target[PATH_MAX];
        ssize_t size = 0;
        if (lstat(next.c_str(), &status) != 0 || !S_ISLNK(status.st_mode) ||
            (size = readlink(next.c_str(), target, sizeof target)) <= 0) {
            resolved = next;
            continue;
        }
        if (int refusal = JudgeOwner(status); refusal != 0) {
            refusedLink_ = next;
            return refusal;
        }
        ++hops;
        if (target[0] == '/') {
            resolved.clear();
        }
        push(std::string(target, size));
    }
    return 0;
}

int ReplacementFile::JudgeWrittenDirectly(const struct stat& status) const {
    return S_ISFIFO(status.st_mode) && !OwnDescriptor(path_) ? JudgeOwner(status) : 0;
}

int ReplacementFile::Check() const {
    bool regularOnly = target_ == Target::RegularOnly;
    if (int refusal = regularOnly ? 0 : JudgeLinks(); refusal != 0) {
        return refusal;
    }
    std::string target = regularOnly ? path_ : FinalTarget(path_);
    struct stat status;
    if ((regularOnly ? lstat(path_.c_str(), &status) : stat(target.c_str(), &status)) == 0) {
        if (regularOnly && !S_ISREG(status.st_mode)) {
            return NotRegular;
        }
        if (S_ISDIR(status.st_mode)) {
            return EISDIR;
        }
        if (!regularOnly && WrittenDirectly(path_, status)) {
            if (int refusal = JudgeWrittenDirectly(status); refusal != 0) {
                return refusal;
            }
            return access(target.c_str(), W_OK) == 0 ? 0 : errno;
        }
        if (int refusal = JudgeOwner(status); refusal != 0) {
            return refusal;
        }
    }
    std::string directory, name;
    SplitPath(target, directory, name);
    if (name.empty()) {
        return EISDIR;
    }
    UniqueFd fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.Valid()) {
        return errno;
    }
    return faccessat(fd.Get(), ".", W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
}

std::string ReplacementFile::ErrorLine(std::string_view what, int error) const {
    std::string path = PrintablePath(path_);
    if (error == NotRegular) {
        return fmt::format("Error: refusing {}: not a regular file\n", path);
    }
    if (error == OwnedByOther) {
        return fmt::format(
            "Error: refusing {}: {}owned by user {}, who could change it\n", path,
            refusedLink_.empty() ? "" : fmt::format("link {} is ", PrintablePath(refusedLink_)),
            refusedOwner_);
    }
    return fmt::format("Error: cannot write {} {}: {}\n", what, path,
                       std::generic_category().message(error));
}

int ReplacementFile::Replace(const std::vector<std::string_view>& parts) const {
    return Replace([&parts](int fd) {
        for (std::string_view part : parts) {
            if (int error = WriteAll(fd, part.data(), part.size()); error != 0) {
                return error;
            }
        }
        return 0;
    });
}

int ReplacementFile::Replace(const std::function<int(int fd)>& write) const {
    bool regularOnly = target_ == Target::RegularOnly;
    if (int refusal = regularOnly ? 0 : JudgeLinks(); refusal != 0) {
        return refusal;
    }
    std::string target = regularOnly ? path_ : FinalTarget(path_);
    struct stat old;
    bool exists = !regularOnly && stat(target.c_str(), &old) == 0;
    if (exists && WrittenDirectly(path_, old)) {
        if (int refusal = JudgeWrittenDirectly(old); refusal != 0) {
            return refusal;
        }
        // Appended: what the process wrote there already stays before the new content.
        UniqueFd fd(open(target.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
        if (!fd.Valid()) {
            return errno;
        }
        int error = write(fd.Get());
        int closing = fd.Close();
        return error != 0 ? error : closing;
    }
    std::string directoryPath, name, temporary;
    SplitPath(target, directoryPath, name);
    UniqueFd directory(open(directoryPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory.Valid()) {
        return errno;
    }
    if (regularOnly) {
        exists = fstatat(directory.Get(), name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
        if (exists && !S_ISREG(old.st_mode)) {
            return NotRegular;
        }
    }
    // One planted after this is replaced by ours: the rename takes the name, never the file.
    if (exists) {
        if (int refusal = JudgeOwner(old); refusal != 0) {
            return refusal;
        }
    }
    HeldSignals held;
    UniqueFd file(CreateTemporary(directory.Get(), name, temporary));
    if (!file.Valid()) {
        return errno;
    }
    mode_t mask = umask(0);
    umask(mask);
    mode_t mode = exists ? old.st_mode & 07777 : 0644 & ~mask;
    if (exists && old.st_gid != getegid()) {
        // The new file is the caller's, and keeps the old one's group when the system lets
        // the caller give it that group, as any editor's would.
        (void)fchown(file.Get(), static_cast<uid_t>(-1), old.st_gid);
    }
    int error = fchmod(file.Get(), mode) == 0 ? 0 : errno;
    if (error == 0) {
        error = write(file.Get());
    }
    if (error == 0 && fsync(file.Get()) != 0) {
        error = errno;
    }
    if (int closing = file.Close(); error == 0) {
        error = closing;
    }
    if (error == 0 && held.AnyPending()) {
        error = EINTR;
    }
    if (error == 0 &&
        renameat(directory.Get(), temporary.c_str(), directory.Get(), name.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlinkat(directory.Get(), temporary.c_str(), 0);
        return error;
    }
    // The rename itself is on the disk only once the directory is.
    return fsync(directory.Get()) == 0 ? 0 : errno;
}
