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
    if (EVP_DigestInit_ex(context.get(), sha512, nullptr) != 1) {
        std::fprintf(stderr, "Error initializing digest\n");
        return Failure(true);
    }
    std::array<unsigned char, 4096> buffer;
    for (;;) {
        size_t count = std::fread(buffer.data(), 1, buffer.size(), file.get());
        // A read error must not pass for the end of the file: the digest would be wrong.
        if (std::ferror(file.get())) {
            return SystemError("reading", path, errno);
        }
        if (count == 0) {
            break;
        }
        if (EVP_DigestUpdate(context.get(), buffer.data(), count) != 1) {
            std::fprintf(stderr, "Error updating digest\n");
            return Failure(true);
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
