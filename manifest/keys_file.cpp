#include "manifest/keys_file.h"

#include <fmt/core.h>
#include <openssl/evp.h>

#include <algorithm>

#include "common/printable_path.h"
#include "manifest/serial.h"

namespace {

enum Kind : size_t { Serial, Expires, Floor, Key, Revoked };
const std::vector<LineKind> Kinds = {
    {"serial", false}, {"expires", false}, {"floor", false}, {"key", true}, {"revoked", true}};

constexpr int64_t SecondsPerDay = 86400;

// Days from 1970-01-01 to the date of the proleptic Gregorian calendar, and back.
int64_t DaysFromCivil(int64_t year, int month, int day) {
    year -= month <= 2;
    int64_t era = (year >= 0 ? year : year - 399) / 400;
    int64_t yearOfEra = year - era * 400;
    int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

void CivilFromDays(int64_t days, int64_t& year, int& month, int& day) {
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    int64_t dayOfEra = days - era * 146097;
    int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int64_t shifted = (5 * dayOfYear + 2) / 153;
    day = static_cast<int>(dayOfYear - (153 * shifted + 2) / 5 + 1);
    month = static_cast<int>(shifted < 10 ? shifted + 3 : shifted - 9);
    year = yearOfEra + era * 400 + (month <= 2);
}

int DaysInMonth(int64_t year, int month) {
    static constexpr int Days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    return month == 2 && leap ? 29 : Days[month - 1];
}

// The number that the digits text[at, at + count) write, or -1 when one is not a digit.
int Digits(std::string_view text, size_t at, size_t count) {
    int value = 0;
    for (char digit : text.substr(at, count)) {
        if (digit < '0' || digit > '9') {
            return -1;
        }
        value = value * 10 + (digit - '0');
    }
    return value;
}

std::string EncodeBase64(std::string_view bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                 reinterpret_cast<const unsigned char*>(bytes.data()),
                                 static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(length));
    return text;
}

// Base64 with its padding, nothing else, and only in the form EncodeBase64 writes.
bool DecodeBase64(std::string_view text, std::string& bytes) {
    if (text.empty() || text.size() % 4 != 0) {
        return false;
    }
    bytes.assign(text.size() / 4 * 3, '\0');
    int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                 reinterpret_cast<const unsigned char*>(text.data()),
                                 static_cast<int>(text.size()));
    size_t padding = text.size() - text.find_last_not_of('=') - 1;
    if (length < 0 || padding > 2) {
        return false;
    }
    bytes.resize(static_cast<size_t>(length) - padding);
    return EncodeBase64(bytes) == text;
}

std::string BadDate(std::string_view what) {
    return fmt::format("bad {} (a UTC date and time such as 2027-03-01T00:00:00Z)", what);
}

std::string TakeNumber(const std::vector<std::string_view>& words,
                       std::optional<uint64_t>& number) {
    uint64_t value = 0;
    if (words.size() != 2 || !ParseSerial(words[1], value)) {
        return fmt::format("bad {} (an unsigned 64-bit decimal number)", words[0]);
    }
    number = value;
    return "";
}

// Why `id` cannot follow `last` in a list sorted by id, with no id twice, or "".
std::string OutOfOrder(const std::string* last, std::string_view id, std::string_view what) {
    if (last == nullptr || *last < id) {
        return "";
    }
    return *last == id ? fmt::format("{} {} is listed twice", what, id)
                       : fmt::format("{} {} is out of order (sorted by id)", what, id);
}

std::string TakeKey(const std::vector<std::string_view>& words, KeysFile& file) {
    if (words.size() != 3 && (words.size() != 5 || words[3] != "not-after")) {
        return "a key line is 'key ID BASE64' with ' not-after DATE' or nothing after it";
    }
    std::string id(words[1]), der;
    if (!IsFullKeyId(id)) {
        return "bad key id (64 lower-case hexadecimal digits)";
    }
    ListedKey listed;
    if (!DecodeBase64(words[2], der)) {
        return "bad key (the base64 of its DER public key)";
    }
    if (std::string reason = listed.key.ReadPublicDer(der); !reason.empty()) {
        return "unsupported key: " + reason;
    }
    if (listed.key.FullId() != id) {
        return fmt::format("key id {} is not the SHA-256 of its key, {}", id, listed.key.FullId());
    }
    int64_t notAfter = 0;
    if (words.size() == 5) {
        if (!ParseUtcDate(words[4], notAfter)) {
            return BadDate("not-after date");
        }
        listed.notAfter = notAfter;
    }
    if (std::string order =
            OutOfOrder(file.keys.empty() ? nullptr : &file.keys.rbegin()->first, id, "key");
        !order.empty()) {
        return order;
    }
    file.keys.emplace_hint(file.keys.end(), id, std::move(listed));
    return "";
}

std::string TakeRevoked(const std::vector<std::string_view>& words, KeysFile& file) {
    if (words.size() != 2 || !IsFullKeyId(words[1])) {
        return "a revoked line is 'revoked ID', the id in 64 lower-case hexadecimal digits";
    }
    std::string id(words[1]);
    if (file.keys.count(id) != 0) {
        return fmt::format("key {} is both listed and revoked", id);
    }
    if (std::string order =
            OutOfOrder(file.revoked.empty() ? nullptr : &*file.revoked.rbegin(), id, "revoked key");
        !order.empty()) {
        return order;
    }
    file.revoked.insert(file.revoked.end(), id);
    return "";
}

// Why ParseStrictLines refuses `line`, or "" once `take` took it; `reached` is the kind of the
// line before, kinds.size() for none.
std::string TakeStrictLine(
    std::string_view line, const std::vector<LineKind>& kinds, size_t& reached,
    const std::function<std::string(size_t kind, const std::vector<std::string_view>& words)>&
        take) {
    if (line.empty()) {
        return "an empty line";
    }
    std::vector<std::string_view> words;
    for (size_t at = 0; at <= line.size();) {
        size_t space = std::min(line.find(' ', at), line.size());
        if (space == at) {
            return "a space out of place (words are separated by one space)";
        }
        words.push_back(line.substr(at, space - at));
        at = space + 1;
    }
    auto kind = std::find_if(kinds.begin(), kinds.end(),
                             [&words](const LineKind& k) { return k.word == words[0]; });
    if (kind == kinds.end()) {
        return "not a line of this file";
    }
    size_t index = static_cast<size_t>(kind - kinds.begin());
    if (reached != kinds.size() && (index < reached || (index == reached && !kind->repeats))) {
        std::string order;
        for (const LineKind& each : kinds) {
            order += (order.empty() ? "" : ", ") + std::string(each.word);
        }
        return fmt::format("a {} line out of place (the lines come in the order {})", kind->word,
                           order);
    }
    reached = index;
    return take(index, words);
}

}  // namespace

std::string ParseStrictLines(
    std::string_view text, std::string_view header, const std::vector<LineKind>& kinds,
    const std::function<std::string(size_t kind, const std::vector<std::string_view>& words)>&
        take) {
    size_t end = text.find('\n');
    if (text.substr(0, end) != header) {
        return fmt::format("line 1: the first line must be '{}'", header);
    }
    size_t reached = kinds.size();  // the kind of the line before, none yet
    for (size_t number = 1;; ++number) {
        if (end == std::string_view::npos) {
            return fmt::format("line {}: no line feed at its end", number);
        }
        text.remove_prefix(end + 1);
        if (text.empty()) {
            return "";
        }
        end = text.find('\n');
        if (std::string why = TakeStrictLine(text.substr(0, end), kinds, reached, take);
            !why.empty()) {
            return fmt::format("line {}: {}", number + 1, why);
        }
    }
}

std::string ParseKeysFile(std::string_view text, KeysFile& file) {
    file = KeysFile{};
    std::string error = ParseStrictLines(
        text, KeysFileHeader, Kinds,
        [&file](size_t kind, const std::vector<std::string_view>& words) -> std::string {
            int64_t date = 0;
            switch (kind) {
                case Serial:
                    return TakeNumber(words, file.serial);
                case Expires:
                    if (words.size() != 2 || !ParseUtcDate(words[1], date)) {
                        return BadDate("expiry");
                    }
                    file.expires = date;
                    return "";
                case Floor:
                    return TakeNumber(words, file.floor);
                case Key:
                    return TakeKey(words, file);
                default:
                    return TakeRevoked(words, file);
            }
        });
    if (!error.empty()) {
        file = KeysFile{};
    }
    return error;
}

std::string MissingFromSigned(const KeysFile& file) {
    return !file.serial    ? "a draft without a serial line"
           : !file.expires ? "a draft without an expires line"
                           : "";
}

std::string FormatKeysFile(const KeysFile& file) {
    std::string text = fmt::format("{}\n", KeysFileHeader);
    if (file.serial) {
        text += fmt::format("serial {}\n", *file.serial);
    }
    if (file.expires) {
        text += fmt::format("expires {}\n", FormatUtcDate(*file.expires));
    }
    if (file.floor) {
        text += fmt::format("floor {}\n", *file.floor);
    }
    for (const auto& [id, listed] : file.keys) {
        text += fmt::format("key {} {}", id, EncodeBase64(listed.key.PublicDer()));
        text += listed.notAfter ? " not-after " + FormatUtcDate(*listed.notAfter) + "\n" : "\n";
    }
    for (const std::string& id : file.revoked) {
        text += fmt::format("revoked {}\n", id);
    }
    return text;
}

std::string ReadKeysFile(const std::string& path, FileRead& read, KeysFile& file) {
    if (std::string error = ReadTrustedFile(path, Exposure::Write, "cannot read keys file", read);
        !error.empty()) {
        return error;
    }
    std::string error = ParseKeysFile(read.bytes, file);
    return error.empty() ? ""
                         : fmt::format("Error: bad keys file {}: {}\n", PrintablePath(path), error);
}

std::string KeysSignaturePath(const std::string& keysFile) {
    return keysFile + ".sig";
}

std::string SignKeysFile(const ManifestKey& root, std::string_view bytes, std::string& signature) {
    return root.Sign(std::string(KeysSignatureContext).append(bytes), signature);
}

bool VerifyKeysFile(const ManifestKey& root, std::string_view bytes, std::string_view signature) {
    return root.Verify(std::string(KeysSignatureContext).append(bytes), signature);
}

bool ParseUtcDate(std::string_view text, int64_t& seconds) {
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != 'Z') {
        return false;
    }
    int year = Digits(text, 0, 4), month = Digits(text, 5, 2), day = Digits(text, 8, 2),
        hour = Digits(text, 11, 2), minute = Digits(text, 14, 2), second = Digits(text, 17, 2);
    if (year < 0 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) ||
        hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
        return false;
    }
    seconds = DaysFromCivil(year, month, day) * SecondsPerDay + hour * 3600 + minute * 60 + second;
    return true;
}

std::string FormatUtcDate(int64_t seconds) {
    int64_t days = seconds / SecondsPerDay, inDay = seconds % SecondsPerDay;
    if (inDay < 0) {
        days -= 1;
        inDay += SecondsPerDay;
    }
    int64_t year = 0;
    int month = 0, day = 0;
    CivilFromDays(days, year, month, day);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", year, month, day, inDay / 3600,
                       inDay / 60 % 60, inDay % 60);
}

bool IsFullKeyId(std::string_view text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}
