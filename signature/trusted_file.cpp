#include "signature/trusted_file.h"

#include <fcntl.h>
#include <fmt/core.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "common/file_io.h"

namespace {

// Far above any manifest (a few hundred bytes a file) and a bound on what a file given here
// can make the program allocate.
constexpr std::size_t MaxTrustedFileSize = std::size_t{1} << 30;

std::string Refusal(const struct stat& status, Exposure exposure) {
    if (exposure == Exposure::Read) {
        return status.st_mode & (S_IRGRP | S_IROTH) ? "readable by group or others (chmod 0400 it)"
                                                    : "";
    }
    if (status.st_mode & (S_IWGRP | S_IWOTH)) {
        return "writable by group or others";
    }
    if (status.st_uid != 0 && status.st_uid != geteuid()) {
        return fmt::format("owned by user {}, who could change it", status.st_uid);
    }
    return "";
}

}  // namespace

FileRead ReadTrustedFile(const std::string& path, Exposure exposure) {
    FileRead read;
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
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
                            std::string& bytes) {
    FileRead file = ReadTrustedFile(path, exposure);
    if (!file.refusal.empty()) {
        return fmt::format("Error: refusing {}{}: {}\n",
                           exposure == Exposure::Read ? "key file " : "", path, file.refusal);
    }
    if (file.error != 0) {
        return fmt::format("Error: {} {}: {}\n", unreadable, path,
                           std::generic_category().message(file.error));
    }
    bytes = std::move(file.bytes);
    return "";
}
