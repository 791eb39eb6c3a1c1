#include "engine/digest.h"

#include <fcntl.h>
#include <fmt/core.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "common/file_io.h"
#include "common/printable_path.h"
#include "engine/progress.h"
#include "manifest/format.h"

namespace {

// Large reads: with 4 KiB ones, the system calls cost as much as a third of the hashing.
constexpr size_t ReadSize = 128 * 1024;

// A file that changes while it is read would get the digest of bytes that were never its whole
// content: a read counts only when the file's size and times are the same before and after it
// and as many bytes as that size were read. Otherwise it is read again, a few times.
constexpr int ReadAttempts = 3;

DigestResult Failure(std::string cause, std::string report) {
    DigestResult result;
    result.cause = std::move(cause);
    result.report = std::move(report);
    return result;
}

DigestResult SystemError(const char* what, const std::string& path, int error) {
    std::string cause = std::generic_category().message(error);
    return Failure(cause, fmt::format("Error {} {}: {}\n", what, PrintablePath(path), cause));
}

// A failure of the digest library itself, which names no file.
DigestResult LibraryError(const std::string& line) {
    return Failure(line.substr(0, line.size() - 1), line);
}

}  // namespace

FileDigester::FileDigester(const char* algorithm)
    : algorithm_(algorithm),
      digest_(EVP_get_digestbyname(algorithm)),
      context_(EVP_MD_CTX_new()),
      buffer_(new unsigned char[ReadSize]) {}

FileDigester::~FileDigester() {
    EVP_MD_CTX_free(context_);
}

FileDigester::ReadOutcome FileDigester::ReadWhole(int fd, int& error, struct stat& after) {
    struct stat before;
    if (fstat(fd, &before) != 0 || lseek(fd, 0, SEEK_SET) != 0) {
        error = errno;
        return ReadOutcome::ReadFailed;
    }
    int64_t total = 0;
    for (;;) {
        ssize_t count = read(fd, buffer_.get(), ReadSize);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            // A read error must not pass for the end of the file: the digest would be wrong.
            error = errno;
            return ReadOutcome::ReadFailed;
        }
        if (count == 0) {
            break;
        }
        if (EVP_DigestUpdate(context_, buffer_.get(), static_cast<size_t>(count)) != 1) {
            return ReadOutcome::UpdateFailed;
        }
        total += count;
        // One add per large read: a file of gigabytes shows in the read rate as it goes.
        if (counts_ != nullptr) {
            counts_->bytes.fetch_add(count, std::memory_order_relaxed);
        }
    }
    if (fstat(fd, &after) != 0) {
        error = errno;
        return ReadOutcome::ReadFailed;
    }
    FileIdentity identity = FileIdentity::Of(after);
    return identity == FileIdentity::Of(before) && total == identity.size ? ReadOutcome::Whole
                                                                          : ReadOutcome::Changed;
}

DigestResult FileDigester::Hash(const std::string& path) {
    // Not blocking: a named pipe must not hold the worker until some writer appears.
    UniqueFd file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!file.Valid()) {
        return OpenFailure(path, errno);
    }
    return Hash(file.Get(), path);
}

DigestResult FileDigester::Hash(int fd, const std::string& path) {
    struct stat status;
    if (fstat(fd, &status) != 0) {
        return SystemError("opening", path, errno);
    }
    // Only a regular file's content is a fingerprint that the kernel can check.
    if (!S_ISREG(status.st_mode)) {
        return Failure("not a regular file", "");
    }
    if (digest_ == nullptr) {
        return LibraryError(fmt::format("Unknown digest algorithm: {}\n", algorithm_));
    }
    if (context_ == nullptr) {
        return LibraryError("Error creating digest context\n");
    }
    for (int attempt = 1;; ++attempt) {
        if (EVP_DigestInit_ex(context_, digest_, nullptr) != 1) {
            return LibraryError("Error initializing digest\n");
        }
        int error = 0;
        ReadOutcome outcome = ReadWhole(fd, error, status);
        if (outcome == ReadOutcome::Whole) {
            break;
        }
        if (outcome == ReadOutcome::ReadFailed) {
            return SystemError("reading", path, error);
        }
        if (outcome == ReadOutcome::UpdateFailed) {
            return LibraryError("Error updating digest\n");
        }
        if (attempt == ReadAttempts) {
            return Failure("file changed while being read",
                           fmt::format("Error reading {}: file changed while being read\n",
                                       PrintablePath(path)));
        }
    }
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_, value, &length) != 1) {
        return LibraryError("Error finalizing digest\n");
    }
    DigestResult result;
    result.status = 0;
    result.text = EncodeHex(value, length);
    result.identity = FileIdentity::Of(status);
    if (counts_ != nullptr) {
        counts_->hashed.fetch_add(1, std::memory_order_relaxed);
    }
    return result;
}

// Without a context the value stays zero: a checksum that no content has, so that what it
// seals is never taken for whole.
Sha512Stream::Sha512Stream() : context_(EVP_MD_CTX_new()) {
    if (context_ != nullptr && EVP_DigestInit_ex(context_, EVP_sha512(), nullptr) != 1) {
        EVP_MD_CTX_free(std::exchange(context_, nullptr));
    }
}

Sha512Stream::~Sha512Stream() {
    EVP_MD_CTX_free(context_);
}

void Sha512Stream::Add(std::string_view bytes) {
    if (context_ != nullptr) {
        EVP_DigestUpdate(context_, bytes.data(), bytes.size());
    }
}

std::array<uint8_t, 64> Sha512Stream::Finish() {
    std::array<uint8_t, 64> value{};
    unsigned int length = 0;
    if (context_ != nullptr) {
        EVP_DigestFinal_ex(context_, value.data(), &length);
    }
    return value;
}

std::array<uint8_t, 64> Sha512OfBytes(std::string_view bytes) {
    Sha512Stream stream;
    stream.Add(bytes);
    return stream.Finish();
}

DigestResult OpenFailure(const std::string& path, int error) {
    // A file removed while its directory is walked is no error.
    if (error == ENOENT || error == ENOTDIR) {
        DigestResult missing = Failure(std::generic_category().message(error), "");
        missing.missing = true;
        return missing;
    }
    return SystemError("opening", path, error);
}

const char* DigestOfFingerprintType(const std::string& type) {
    return type == "sha512" ? "SHA512" : type == "sha256" ? "SHA256" : nullptr;
}
