#include "manifest/keys_record.h"

#include <fmt/core.h>

#include <cerrno>
#include <system_error>

#include "common/printable_path.h"
#include "manifest/keys_file.h"
#include "manifest/serial.h"
#include "manifest/trusted_file.h"

namespace {

enum Kind : size_t { PendingDigest, KeysSerial, KeysDigest, Revoked, ManifestSerial, Signer };
const std::vector<LineKind> Kinds = {{"pending-digest", false},  {"keys-serial", false},
                                     {"keys-digest", false},     {"revoked", true},
                                     {"manifest-serial", false}, {"signer", true}};

// Adds `id`, the one word after the line's first, to `ids`, sorted with no id twice.
std::string TakeId(const std::vector<std::string_view>& words, std::set<std::string>& ids) {
    if (words.size() != 2 || !IsFullKeyId(words[1])) {
        return fmt::format("a {} line is '{} ID', the id in 64 lower-case hexadecimal digits",
                           words[0], words[0]);
    }
    if (!ids.empty() && *ids.rbegin() >= words[1]) {
        return fmt::format("{} {} is listed twice or out of order (sorted by id)", words[0],
                           words[1]);
    }
    ids.emplace_hint(ids.end(), words[1]);
    return "";
}

std::string TakeNumber(const std::vector<std::string_view>& words, uint64_t& number) {
    return words.size() == 2 && ParseSerial(words[1], number)
               ? ""
               : fmt::format("bad {} (an unsigned 64-bit decimal number)", words[0]);
}

std::string TakeLine(size_t kind, const std::vector<std::string_view>& words, KeysRecord& record) {
    uint64_t number = 0;
    switch (kind) {
        case KeysSerial:
            return TakeNumber(words, record.keysSerial);
        case PendingDigest:
        case KeysDigest:
            if (words.size() != 2 || !IsFullKeyId(words[1])) {
                return fmt::format("bad {} (64 lower-case hexadecimal digits)", words[0]);
            }
            (kind == PendingDigest ? record.pendingDigest : record.keysDigest) = words[1];
            return "";
        case Revoked:
            return TakeId(words, record.revoked);
        case ManifestSerial:
            if (std::string why = TakeNumber(words, number); !why.empty()) {
                return why;
            }
            record.signedSerial = number;
            return "";
        default:
            if (!record.signedSerial) {
                return "a signer line without a manifest-serial line before it";
            }
            if (words.size() != 3 || !IsFullKeyId(words[1]) || !IsFullKeyId(words[2])) {
                return "a signer line is 'signer ID DIGEST', each in 64 lower-case hexadecimal "
                       "digits";
            }
            if (!record.signers.empty() && record.signers.rbegin()->first >= words[1]) {
                return fmt::format("signer {} is listed twice or out of order (sorted by id)",
                                   words[1]);
            }
            record.signers.emplace_hint(record.signers.end(), words[1], words[2]);
            return "";
    }
}

}  // namespace

std::string KeysRecord::RaiseKeysFile(uint64_t serial, const std::string& digest) {
    if (!keysDigest.empty() && serial < keysSerial) {
        return fmt::format("keys file serial {} is older than the one installed ({})", serial,
                           keysSerial);
    }
    if (!keysDigest.empty() && serial == keysSerial && digest != keysDigest) {
        return fmt::format("keys file serial {} is the one installed, but with other contents",
                           serial);
    }
    keysSerial = serial;
    keysDigest = digest;
    pendingDigest.clear();
    return "";
}

void KeysRecord::AddRevoked(const std::set<std::string>& ids) {
    revoked.insert(ids.begin(), ids.end());
}

void KeysRecord::RecordSigner(uint64_t serial, const std::string& id, const std::string& digest) {
    if (signedSerial != serial) {
        signedSerial = serial;
        signers.clear();
    }
    signers[id] = digest;
}

bool KeysRecord::Signed(uint64_t serial, const std::string& id, const std::string& digest) const {
    auto signer = signers.find(id);
    return signedSerial == serial && signer != signers.end() && signer->second == digest;
}

std::string KeysRecordPath(const std::string& serialFile) {
    return serialFile + ".keys";
}

std::string ParseKeysRecord(std::string_view text, KeysRecord& record) {
    record = KeysRecord{};
    size_t lines = 0;
    bool pending = false;
    std::string error = ParseStrictLines(
        text, KeysRecordHeader, Kinds,
        [&](size_t kind, const std::vector<std::string_view>& words) {
            pending |= kind == PendingDigest;
            lines += kind == KeysSerial || kind == KeysDigest;
            if (pending && lines > 0) {
                return std::string("a record names an installed keys file or a pending one");
            }
            // They come first: what follows them names the line where they are missing.
            if (kind > KeysDigest && !pending && lines < 2) {
                return std::string(
                    "a keys-serial and a keys-digest line, or a pending-digest line, must come "
                    "first");
            }
            return TakeLine(kind, words, record);
        });
    if (error.empty() && !pending && lines < 2) {
        error = "the record ends before its keys-serial and keys-digest lines";
    }
    if (!error.empty()) {
        record = KeysRecord{};
    }
    return error;
}

std::string FormatKeysRecord(const KeysRecord& record) {
    std::string text =
        record.Installed()
            ? fmt::format("{}\nkeys-serial {}\nkeys-digest {}\n", KeysRecordHeader,
                          record.keysSerial, record.keysDigest)
            : fmt::format("{}\npending-digest {}\n", KeysRecordHeader, record.pendingDigest);
    for (const std::string& id : record.revoked) {
        text += fmt::format("revoked {}\n", id);
    }
    if (record.signedSerial) {
        text += fmt::format("manifest-serial {}\n", *record.signedSerial);
    }
    for (const auto& [id, digest] : record.signers) {
        text += fmt::format("signer {} {}\n", id, digest);
    }
    return text;
}

std::string ReadKeysRecord(const std::string& path, std::optional<KeysRecord>& record) {
    record.reset();
    FileRead file = ReadTrustedFile(path, Exposure::Write, FinalLink::Refused);
    if (file.error == ENOENT) {
        return "";
    }
    if (!file.refusal.empty()) {
        return fmt::format("Error: refusing {}: {}\n", PrintablePath(path), file.refusal);
    }
    std::string unusable = fmt::format("Error: cannot use keys record {}: ", PrintablePath(path));
    if (file.error != 0) {
        return unusable + std::generic_category().message(file.error) + "\n";
    }
    KeysRecord read;
    if (std::string error = ParseKeysRecord(file.bytes, read); !error.empty()) {
        return unusable + error + "\n";
    }
    record = std::move(read);
    return "";
}

std::string WriteKeysRecord(const std::string& path, const KeysRecord& record) {
    return WriteRecordFile(path, "keys record", FormatKeysRecord(record));
}
