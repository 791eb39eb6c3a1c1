#include "common/file_io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>

void UniqueFd::Reset(int fd) {
    if (fd_ >= 0) {
        close(fd_);
    }
    fd_ = fd;
}

int UniqueFd::Close() {
    int fd = Release();
    return fd < 0 || close(fd) == 0 ? 0 : errno;
}

int WriteAll(int fd, const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t written = write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

int ReadAll(int fd, std::string& bytes, std::size_t limit) {
    char buffer[64 * 1024];
    for (;;) {
        ssize_t count = read(fd, buffer, sizeof buffer);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (count == 0) {
            return 0;
        }
        if (static_cast<std::size_t>(count) > limit - bytes.size()) {
            return EFBIG;
        }
        bytes.append(buffer, static_cast<std::size_t>(count));
    }
}

std::string FinalTarget(const std::string& path) {
    char resolved[PATH_MAX];
    struct stat status;
    if (lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode) &&
        realpath(path.c_str(), resolved) != nullptr) {
        return resolved;
    }
    return path;
}

bool SameFile(const std::string& first, const std::string& second) {
    std::error_code error;
    auto resolved = [&error](const std::string& path) {
        std::filesystem::path absolute = std::filesystem::absolute(path, error);
        return error ? absolute : std::filesystem::weakly_canonical(absolute, error);
    };
    std::filesystem::path one = resolved(first);
    return !error && one == resolved(second) && !error;
}
