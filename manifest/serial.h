// The serial of a signed manifest: the header line that carries it, first in the manifest, and
// the file that records the highest serial loaded so far, so that an older manifest, one that
// still lists a since-patched program, cannot be loaded again in its place.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/file_io.h"

// Reads an unsigned 64-bit decimal number: digits only, no sign, no spaces.
bool ParseSerial(std::string_view text, uint64_t& serial);

// The manifest with the header of `serial` as its first line: one already there is replaced,
// and every other byte is kept.
std::string WithSerialHeader(std::string_view manifest, uint64_t serial);
// The same, with "# pelmor-sign key FULLID" after it, naming the key that signs the manifest
// among those a keys file lists; a key line already there is replaced too. The signature
// covers it, so it cannot be changed to name another key.
std::string WithSignedHeader(std::string_view manifest, uint64_t serial, std::string_view keyId);
// The full id that the key line, second in the manifest, names; nullopt when there is none.
std::optional<std::string> SignerOfHeader(std::string_view manifest);
// The serial of the header that the manifest's first line is; nullopt when it is none.
std::optional<uint64_t> SerialOfHeader(std::string_view manifest);

// The serial that the file at `path` records: nullopt in `recorded` when there is no file yet.
// Returns "" or the error line to report; damaged contents are never taken for none, and a
// record that is a symbolic link or not a regular file is refused, as writing it would be.
std::string ReadRecordedSerial(const std::string& path, std::optional<uint64_t>& recorded);
// Replaces the file's record with `serial`, making its directory when there is none, never
// through a link; "" or the error line to report.
std::string RecordSerial(const std::string& path, uint64_t serial);
// Replaces the record file at `path` with `text` as RecordSerial does, for every record kept
// beside the serial file; "" or the error line, which calls the file `what`.
std::string WriteRecordFile(const std::string& path, std::string_view what, std::string_view text);

// Holds PATH.lock, beside the serial file at `path` (its folder made when there is none),
// locked against every other holder until destroyed: a load that raises the records and a keys
// install that overlap then each add to what the other wrote, never write back what they read
// before it.
class RecordLock {
  public:
    explicit RecordLock(const std::string& path);
    // "" or the error line to report, after which nothing may be written.
    const std::string& Error() const { return error_; }

  private:
    UniqueFd lock_;
    std::string error_;
};
