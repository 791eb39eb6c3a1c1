// The fingerprint of one file's content, as the manifest writes it: its SHA-512 digest in
// lower-case hexadecimal (or the SHA-256 digest, the kernel's other type). Each worker keeps
// one digester, whose context and read buffer serve every file it hashes.
#pragma once

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/file_identity.h"

struct ProgressCounts;

struct DigestResult {
    int32_t status = 1;          // 0 success, 1 failure
    std::string text = "error";  // the digest in hexadecimal on success
    FileIdentity identity;       // of the file read, on success
    // On failure: why, as the system or the digest tells it, and whether the file is missing.
    std::string cause;
    bool missing = false;
    // The line to report on failure; "" for a file that is missing or not a regular file,
    // which a walk passes over without a word.
    std::string report;
};

// The digest, as OpenSSL names it, of a fingerprint type the kernel takes ("sha512",
// "sha256"); nullptr for any other.
const char* DigestOfFingerprintType(const std::string& type);

// The failure of a file at `path` that could not be opened for hashing, with the system's
// `error`: a missing file is passed over without a word.
DigestResult OpenFailure(const std::string& path, int error);

class FileDigester {
  public:
    // `algorithm` as OpenSSL names it: "SHA512" or "SHA256".
    explicit FileDigester(const char* algorithm = "SHA512");
    ~FileDigester();
    FileDigester(const FileDigester&) = delete;
    FileDigester& operator=(const FileDigester&) = delete;

    // Hashes the regular file at `path` (symbolic links followed). A file that keeps changing
    // while it is read fails, as do a missing file and anything but a regular file.
    DigestResult Hash(const std::string& path);
    // Hashes the file open at `fd` as above, from its start; `path` names it in reports.
    DigestResult Hash(int fd, const std::string& path);
    // From now on, adds the bytes it reads and the files it hashes whole to `counts`.
    void CountInto(ProgressCounts& counts) { counts_ = &counts; }

  private:
    enum class ReadOutcome { Whole, Changed, ReadFailed, UpdateFailed };
    ReadOutcome ReadWhole(int fd, int& error, struct stat& after);

    const char* algorithm_;
    const EVP_MD* digest_;
    EVP_MD_CTX* context_;
    std::unique_ptr<unsigned char[]> buffer_;
    ProgressCounts* counts_ = nullptr;
};

// The SHA-512 digest of bytes given piece by piece, such as a file's checksum of its own content
// while the file is written.
class Sha512Stream {
  public:
    Sha512Stream();
    ~Sha512Stream();
    Sha512Stream(const Sha512Stream&) = delete;
    Sha512Stream& operator=(const Sha512Stream&) = delete;

    void Add(std::string_view bytes);
    std::array<uint8_t, 64> Finish();

  private:
    EVP_MD_CTX* context_;
};

// The SHA-512 digest of bytes in memory.
std::array<uint8_t, 64> Sha512OfBytes(std::string_view bytes);
