#include "manifest/serial.h"

#include <fcntl.h>
#include <fmt/core.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <system_error>

#include "common/printable_path.h"
#include "common/replacement_file.h"
#include "manifest/trusted_file.h"

namespace {

constexpr std::string_view HeaderPrefix = "# pelmor-sign serial ";
constexpr std::string_view KeyPrefix = "# pelmor-sign key ";

std::string_view FirstLine(std::string_view text) {
    return text.substr(0, text.find('\n'));
}

}  // namespace

bool ParseSerial(std::string_view text, uint64_t& serial) {
    const char* end = text.data() + text.size();
    if (text.empty() || text.front() < '0' || text.front() > '9') {
        return false;
    }
    auto [stop, error] = std::from_chars(text.data(), end, serial);
    return error == std::errc() && stop == end;
}

std::string WithSerialHeader(std::string_view manifest, uint64_t serial) {
    std::string_view first = FirstLine(manifest);
    if (first.substr(0, HeaderPrefix.size()) == HeaderPrefix) {
        manifest.remove_prefix(std::min(first.size() + 1, manifest.size()));
    }
    return fmt::format("{}{}\n", HeaderPrefix, serial) + std::string(manifest);
}

std::string WithSignedHeader(std::string_view manifest, uint64_t serial, std::string_view keyId) {
    std::string headed = WithSerialHeader(manifest, serial);
    std::string_view rest(headed);
    rest.remove_prefix(FirstLine(rest).size() + 1);
    std::string_view second = FirstLine(rest);
    if (second.substr(0, KeyPrefix.size()) == KeyPrefix) {
        rest.remove_prefix(std::min(second.size() + 1, rest.size()));
    }
    return fmt::format("{}{}\n{}{}\n", HeaderPrefix, serial, KeyPrefix, keyId) + std::string(rest);
}

std::optional<std::string> SignerOfHeader(std::string_view manifest) {
    std::string_view first = FirstLine(manifest);
    if (first.size() == manifest.size()) {
        return std::nullopt;
    }
    std::string_view second = FirstLine(manifest.substr(first.size() + 1));
    if (second.substr(0, KeyPrefix.size()) != KeyPrefix) {
        return std::nullopt;
    }
    return std::string(second.substr(KeyPrefix.size()));
}

std::optional<uint64_t> SerialOfHeader(std::string_view manifest) {
    std::string_view first = FirstLine(manifest);
    uint64_t serial = 0;
    if (first.substr(0, HeaderPrefix.size()) != HeaderPrefix ||
        !ParseSerial(first.substr(HeaderPrefix.size()), serial)) {
        return std::nullopt;
    }
    return serial;
}

std::string ReadRecordedSerial(const std::string& path, std::optional<uint64_t>& recorded) {
    recorded.reset();
    FileRead file = ReadTrustedFile(path, Exposure::Write, FinalLink::Refused);
    if (file.error == ENOENT) {
        return "";
    }
    if (!file.refusal.empty()) {
        return fmt::format("Error: refusing {}: {}\n", PrintablePath(path), file.refusal);
    }
    std::string unusable = fmt::format("Error: cannot use serial file {}: ", PrintablePath(path));
    if (file.error != 0) {
        return unusable + std::generic_category().message(file.error) + "\n";
    }
    std::string_view text = file.bytes;
    if (!text.empty() && text.back() == '\n') {
        text.remove_suffix(1);
    }
    uint64_t serial = 0;
    if (!ParseSerial(text, serial)) {
        return unusable + "it holds no serial, only damaged contents\n";
    }
    recorded = serial;
    return "";
}

std::string RecordSerial(const std::string& path, uint64_t serial) {
    return WriteRecordFile(path, "serial file", fmt::format("{}\n", serial));
}

namespace {

// Makes the folder of the record at `path` when there is none: 0 or the system's error.
int MakeRecordFolder(const std::string& path, std::string& folder) {
    std::string::size_type slash = path.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    return slash != std::string::npos && slash > 0 && mkdir(folder.c_str(), 0755) != 0 &&
                   errno != EEXIST
               ? errno
               : 0;
}

}  // namespace

RecordLock::RecordLock(const std::string& path) {
    const std::string lockPath = path + ".lock";
    std::string folder;
    int error = MakeRecordFolder(path, folder);
    if (error == 0) {
        // A file of its own that only its owner can open: whoever can open what is locked can
        // hold the lock, and keep every load and install waiting. Read access is all that flock
        // needs, and all that a lock already there on a read-only file system allows.
        lock_ = UniqueFd(
            open(lockPath.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
        if (!lock_.Valid() && errno == EROFS) {
            return;  // no one can write the records there: nothing to keep apart
        }
        struct stat status;
        error = !lock_.Valid() || fstat(lock_.Get(), &status) != 0 ? errno : 0;
        // A link is refused with ELOOP here, EMLINK on FreeBSD; a folder with EISDIR.
        bool irregular = error == ELOOP || error == EMLINK || error == EISDIR;
        std::string why;
        if (irregular || (error == 0 && !S_ISREG(status.st_mode))) {
            why = "not a regular file";
        } else if (error == 0 && status.st_uid != geteuid()) {
            why = fmt::format("owned by user {}, who could hold it", status.st_uid);
        } else if (error == 0 && (status.st_mode & 077) != 0) {
            why = "group or others can open it, and hold it (chmod 0600 it)";
        }
        if (!why.empty()) {
            error_ =
                fmt::format("Error: refusing lock file {}: {}\n", PrintablePath(lockPath), why);
            return;
        }
        if (error == 0 && flock(lock_.Get(), LOCK_EX) != 0) {
            error_ = fmt::format("Error: cannot use lock file {}: {}\n", PrintablePath(lockPath),
                                 std::generic_category().message(errno));
            return;
        }
    }
    if (error != 0) {
        error_ = fmt::format("Error: cannot write serial file {}: {}\n", PrintablePath(path),
                             std::generic_category().message(error));
    }
}

std::string WriteRecordFile(const std::string& path, std::string_view what, std::string_view text) {
    std::string folder;
    int error = MakeRecordFolder(path, folder);
    ReplacementFile record(path, ReplacementFile::Target::RegularOnly);
    if (error == 0) {
        error = record.Replace({text});
    }
    return error == 0 ? "" : record.ErrorLine(what, error);
}
