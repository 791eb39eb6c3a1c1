#include "engine/magic_classifier.h"

#include <fcntl.h>
#include <fmt/core.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <utility>

#include "common/file_io.h"
#include "common/printable_path.h"

namespace {

// ELF details and text encodings are not needed to choose a type, and they cost time.
constexpr int ClassifierFlags = MAGIC_NO_CHECK_ELF | MAGIC_NO_CHECK_ENCODING;

// libmagic's text names the file as it was given.
std::string ErrorText(magic_t cookie) {
    const char* text = magic_error(cookie);
    return text != nullptr ? PrintablePath(text) : "unknown error";
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Whether a magic source file holds any rule: only blank and comment lines add nothing.
bool HoldsRules(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        return true;
    }
    for (std::string line; std::getline(file, line);) {
        size_t first = line.find_first_not_of(" \t\r");
        if (first != std::string::npos && line[first] != '#') {
            return true;
        }
    }
    return !file.eof();
}

std::string StatusText(const std::string& path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) {
        return path + " absent";
    }
    return fmt::format("{} {} {} {} {}.{:09d} {}.{:09d}", path, status.st_dev, status.st_ino,
                       status.st_size, status.st_mtim.tv_sec, status.st_mtim.tv_nsec,
                       status.st_ctim.tv_sec, status.st_ctim.tv_nsec);
}

}  // namespace

MagicDatabase::MagicDatabase() {
    // libmagic loads each file of the list from its compiled form, FILE.mgc, when there is
    // one, and compiles the file itself otherwise; a file that is missing is passed over.
    const char* list = magic_getpath(nullptr, 0);
    std::string paths = list != nullptr ? list : "";
    identity_ = fmt::format("libmagic {} {}", magic_version(), paths);
    bool shareable = true;
    for (size_t start = 0, end; start < paths.size(); start = end + 1) {
        end = std::min(paths.find(':', start), paths.size());
        std::string source = paths.substr(start, end - start);
        std::string compiled = EndsWith(source, ".mgc") ? source : source + ".mgc";
        identity_ += "\n" + StatusText(source) + "\n" + StatusText(compiled);
        UniqueFd fd(open(compiled.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat status;
        if (fd.Valid() && fstat(fd.Get(), &status) == 0 && S_ISREG(status.st_mode) &&
            status.st_size > 0) {
            size_t size = static_cast<size_t>(status.st_size);
            void* buffer = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.Get(), 0);
            if (buffer == MAP_FAILED) {
                shareable = false;
                continue;
            }
            buffers_.push_back(buffer);
            sizes_.push_back(size);
            continue;
        }
        if (access(source.c_str(), F_OK) == 0 &&
            (!EndsWith(source, ".mgc") && HoldsRules(source))) {
            shareable = false;
        }
    }
    shared_ = shareable && !buffers_.empty();
}

MagicDatabase::~MagicDatabase() {
    for (size_t i = 0; i < buffers_.size(); ++i) {
        munmap(buffers_[i], sizes_[i]);
    }
}

MagicClassifier::~MagicClassifier() {
    if (cookie_ != nullptr) {
        magic_close(cookie_);
    }
}

std::string MagicClassifier::Open(const MagicDatabase& database) {
    cookie_ = magic_open(ClassifierFlags);
    if (cookie_ == nullptr) {
        return "Error: Unable to initialize magic library\n";
    }
    magic_getparam(cookie_, MAGIC_PARAM_BYTES_MAX, &bytesMax_);
    bytesAsked_ = bytesMax_;
    if (database.shared_) {
        std::vector<void*> buffers = database.buffers_;
        std::vector<size_t> sizes = database.sizes_;
        if (magic_load_buffers(cookie_, buffers.data(), sizes.data(), buffers.size()) == 0) {
            return "";
        }
    }
    if (magic_load(cookie_, nullptr) != 0) {
        std::string message =
            fmt::format("Error: Cannot load magic database - {}\n", ErrorText(cookie_));
        magic_close(cookie_);
        cookie_ = nullptr;
        return message;
    }
    return "";
}

bool MagicClassifier::Describe(int fd, const struct stat& status, const std::string& path,
                               std::string& description, std::string& error) {
    // libmagic takes a buffer of its whole limit for every file, and reads as much of the file
    // as it holds, start and end: a limit of one byte past a smaller file's size reads the same
    // bytes, so the description is the same, from buffers no bigger than the file.
    size_t limit = bytesMax_;
    if (status.st_size >= 0 && static_cast<uint64_t>(status.st_size) < bytesMax_) {
        limit = static_cast<size_t>(status.st_size) + 1;
    }
    if (limit != bytesAsked_ && magic_setparam(cookie_, MAGIC_PARAM_BYTES_MAX, &limit) == 0) {
        bytesAsked_ = limit;
    }
    const char* text = magic_descriptor(cookie_, fd);
    if (text == nullptr) {
        error = fmt::format("Error: Unable to determine file type for {} - {}\n",
                            PrintablePath(path), ErrorText(cookie_));
        return false;
    }
    // Given a path, libmagic first names the mode bits that the file's status holds; given a
    // descriptor, it does not look at the status.
    description.clear();
    for (const auto& [bit, name] :
         {std::pair{S_ISUID, "setuid"}, {S_ISGID, "setgid"}, {S_ISVTX, "sticky"}}) {
        if ((status.st_mode & bit) != 0) {
            description += description.empty() ? name : std::string(", ") + name;
        }
    }
    if (!description.empty()) {
        // An empty file is named so after the bits, a description otherwise follows them.
        description += status.st_size == 0 ? ", " : " ";
    }
    description += text;
    return true;
}

bool DescribeLink(int directory, const std::string& name, std::string& description) {
    char target[PATH_MAX];
    ssize_t length = readlinkat(directory, name.c_str(), target, sizeof target - 1);
    if (length <= 0) {
        return false;
    }
    target[length] = '\0';
    // Only whether the target exists, as libmagic asks it: its content is never read.
    struct stat status;
    bool broken = fstatat(directory, target, &status, 0) != 0;
    description = (broken ? "broken symbolic link to " : "symbolic link to ") + std::string(target);
    return true;
}
