#include "keys/show.h"

#include <fmt/core.h>

#include <ctime>
#include <iostream>
#include <nlohmann/json.hpp>

#include "common/printable_path.h"
#include "manifest/key.h"
#include "manifest/keys_file.h"

namespace {

using Json = nlohmann::ordered_json;

// A date is passed once the second it names is over.
bool Passed(const std::optional<int64_t>& date, std::time_t now) {
    return date && now > *date;
}

// Each key listed, then each key revoked, with its state.
Json KeyStates(const KeysFile& file, std::time_t now) {
    Json keys = Json::array();
    for (const auto& [id, listed] : file.keys) {
        keys.push_back(
            {{"id", listed.key.Id()},
             {"full_id", id},
             {"state", Passed(listed.notAfter, now) ? "past its not-after date" : "valid"},
             {"not_after",
              listed.notAfter ? Json(FormatUtcDate(*listed.notAfter)) : Json(nullptr)}});
    }
    for (const std::string& id : file.revoked) {
        keys.push_back({{"id", id.substr(0, 16)},
                        {"full_id", id},
                        {"state", "revoked"},
                        {"not_after", nullptr}});
    }
    return keys;
}

std::string Text(const Json& report) {
    auto value = [&report](const char* name, const char* absent) {
        const Json& value = report[name];
        return value.is_null()     ? std::string(absent)
               : value.is_string() ? value.get<std::string>()
                                   : value.dump();
    };
    std::string text = fmt::format(
        "Keys file: {}\nSerial: {}\nExpires: {}{}\nFloor: {}\n", report["file"].get<std::string>(),
        value("serial", "none, a draft"), value("expires", "none, a draft"),
        report["expired"].get<bool>() ? ", expired" : "", value("floor", "none"));
    for (const Json& key : report["keys"]) {
        text += fmt::format("Key {} {}: {}{}\n", key["id"].get<std::string>(),
                            key["full_id"].get<std::string>(), key["state"].get<std::string>(),
                            key["not_after"].is_null()
                                ? ""
                                : (key["state"] == "valid" ? ", not after " : ", ") +
                                      key["not_after"].get<std::string>());
    }
    return text + fmt::format("Signature: {} with root key {}\n",
                              report["verified"].get<bool>() ? "verifies" : "does not verify",
                              report["root_key_id"].get<std::string>());
}

}  // namespace

int ShowKeys(const KeysShowSettings& settings) {
    const std::string& path = settings.file.empty() ? settings.keysFile : settings.file;
    ManifestKey root;
    FileRead read;
    KeysFile file;
    std::string error = root.ReadFile(settings.keyPath, KeyPart::Public);
    if (error.empty()) {
        error = ReadKeysFile(path, read, file);
    }
    if (!error.empty()) {
        std::cerr << error;
        return 1;
    }
    FileRead signature;
    std::string problems = ReadTrustedFile(KeysSignaturePath(read.target), Exposure::Write,
                                           "cannot read signature file", signature);
    bool verified = problems.empty() && VerifyKeysFile(root, read.bytes, signature.bytes);
    if (problems.empty() && !verified) {
        problems = fmt::format("Error: keys file signature does not verify: {} (root key {})\n",
                               PrintablePath(path), root.Id());
    }
    if (std::string missing = MissingFromSigned(file); verified && !missing.empty()) {
        problems += fmt::format("Error: keys file {} is {}\n", PrintablePath(path), missing);
    }
    std::time_t now = std::time(nullptr);
    bool expired = Passed(file.expires, now);
    if (expired) {
        problems += fmt::format("Error: keys file {} expired at {}\n", PrintablePath(path),
                                FormatUtcDate(*file.expires));
    }
    Json report{{"file", PrintablePath(path)},
                {"serial", file.serial ? Json(*file.serial) : Json(nullptr)},
                {"expires", file.expires ? Json(FormatUtcDate(*file.expires)) : Json(nullptr)},
                {"expired", expired},
                // What a script that warns ahead of the expiry needs, without parsing dates.
                {"expires_in", file.expires ? Json(*file.expires - now) : Json(nullptr)},
                {"floor", file.floor ? Json(*file.floor) : Json(nullptr)},
                {"keys", KeyStates(file, now)},
                {"root_key_id", root.Id()},
                {"verified", verified}};
    std::cout << (settings.format == OutputFormat::Json
                      ? report.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n"
                      : Text(report));
    std::cerr << problems;
    return problems.empty() ? 0 : 1;
}
