#include "generate/digest.h"

#include <fcntl.h>
#include <fmt/core.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <system_error>
#include <utility>

namespace {

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

struct ContextFreer {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, ContextFreer>;

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

DigestResult Failure(bool reported) {
    DigestResult result;
    result.reported = reported;
    return result;
}

// Writes one whole message line to stderr; workers share the stream.
DigestResult Reported(const std::string& line) {
    std::fputs(line.c_str(), stderr);
    return Failure(true);
}

DigestResult SystemError(const char* what, const std::string& path, int error) {
    return Reported(
        fmt::format("Error {} {}: {}\n", what, path, std::generic_category().message(error)));
}

std::string Hex(const unsigned char* bytes, unsigned int length) {
    static constexpr char Digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * length);
    for (unsigned int i = 0; i < length; ++i) {
        text += Digits[bytes[i] >> 4];
        text += Digits[bytes[i] & 0x0f];
    }
    return text;
}

// A file that changes while it is read would get the digest of bytes that were never its whole
// content: a read counts only when the file's size and times are the same before and after it
// and as many bytes as that size were read. Otherwise it is read again, a few times.
constexpr int ReadAttempts = 3;

enum class ReadOutcome { Whole, Changed, ReadFailed, UpdateFailed };

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Feeds the file's content, from its start, to the initialised `context`. `error` is set when
// the file cannot be read.
ReadOutcome ReadWhole(FILE* file, EVP_MD_CTX* context, int& error) {
    struct stat before;
    if (fstat(fileno(file), &before) != 0) {
        error = errno;
        return ReadOutcome::ReadFailed;
    }
    std::rewind(file);
    std::array<unsigned char, 4096> buffer;
    uintmax_t total = 0;
    for (;;) {
        size_t count = std::fread(buffer.data(), 1, buffer.size(), file);
        // A read error must not pass for the end of the file: the digest would be wrong.
        if (std::ferror(file)) {
            error = errno;
            return ReadOutcome::ReadFailed;
        }
        if (count == 0) {
            break;
        }
        if (EVP_DigestUpdate(context, buffer.data(), count) != 1) {
            return ReadOutcome::UpdateFailed;
        }
        total += count;
    }
    struct stat after;
    if (fstat(fileno(file), &after) != 0) {
        error = errno;
        return ReadOutcome::ReadFailed;
    }
    bool same = before.st_size == after.st_size && SameTime(before.st_mtim, after.st_mtim) &&
                SameTime(before.st_ctim, after.st_ctim) &&
                total == static_cast<uintmax_t>(after.st_size);
    return same ? ReadOutcome::Whole : ReadOutcome::Changed;
}

}  // namespace

DigestResult HashFileSha512(const std::string& path) {
    // Not blocking: a named pipe must not hold the worker until some writer appears.
    Descriptor descriptor(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (descriptor.get() < 0) {
        // A file removed while its directory is walked is no error.
        return errno == ENOENT ? Failure(false) : SystemError("opening", path, errno);
    }
    struct stat status;
    if (fstat(descriptor.get(), &status) != 0) {
        return SystemError("opening", path, errno);
    }
    // Only a regular file's content is a fingerprint that the kernel can check.
    if (!S_ISREG(status.st_mode)) {
        return Failure(false);
    }
    File file(fdopen(descriptor.get(), "rb"));
    if (!file) {
        return SystemError("opening", path, errno);
    }
    descriptor.release();

    const EVP_MD* sha512 = EVP_get_digestbyname("SHA512");
    if (sha512 == nullptr) {
        std::fprintf(stderr, "Unknown digest algorithm: SHA512\n");
        return Failure(true);
    }
    // Declared after the file so that the context is freed before the file is closed.
    DigestContext context(EVP_MD_CTX_new());
    if (!context) {
        std::fprintf(stderr, "Error creating digest context\n");
        return Failure(true);
    }
    for (int attempt = 1;; ++attempt) {
        if (EVP_DigestInit_ex(context.get(), sha512, nullptr) != 1) {
            std::fprintf(stderr, "Error initializing digest\n");
            return Failure(true);
        }
        int error = 0;
        ReadOutcome outcome = ReadWhole(file.get(), context.get(), error);
        if (outcome == ReadOutcome::Whole) {
            break;
        }
        if (outcome == ReadOutcome::ReadFailed) {
            return SystemError("reading", path, error);
        }
        if (outcome == ReadOutcome::UpdateFailed) {
            std::fprintf(stderr, "Error updating digest\n");
            return Failure(true);
        }
        if (attempt == ReadAttempts) {
            return Reported(fmt::format("Error reading {}: file changed while being read\n", path));
        }
    }
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest;
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1) {
        std::fprintf(stderr, "Error finalizing digest\n");
        return Failure(true);
    }
    DigestResult result;
    result.status = 0;
    result.text = Hex(digest.data(), length);
    return result;
}
