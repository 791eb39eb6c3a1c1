#include "generate/config.h"

#include <fmt/core.h>

#include <cerrno>
#include <nlohmann/json.hpp>
#include <sstream>
#include <system_error>

#include "common/normal_path.h"
#include "common/printable_path.h"
#include "manifest/format.h"
#include "manifest/trusted_file.h"

namespace {

// The flags of the manifest paths the object names: each an absolute path with a list of
// flag tokens that load knows.
std::string AddFlags(const nlohmann::json& flags, std::map<std::string, ConfiguredFlags>& added) {
    if (flags.is_null()) {
        return "";
    }
    if (!flags.is_object()) {
        return "flags must be an object of paths and their lists of flags";
    }
    for (const auto& [path, tokens] : flags.items()) {
        if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) {
            return fmt::format("flags path is not absolute: '{}'", PrintablePath(path));
        }
        if (!tokens.is_array()) {
            return fmt::format("flags for {} must be a list of strings", PrintablePath(path));
        }
        uint8_t entry = 0;
        for (const nlohmann::json& token : tokens) {
            if (!token.is_string()) {
                return fmt::format("flags for {} must be a list of strings", PrintablePath(path));
            }
            uint8_t bit = FlagOfToken(token.get<std::string>());
            if (bit == 0) {
                return fmt::format("unknown flag '{}' for {} (indirect, no_ptrace or trusted)",
                                   PrintablePath(token.get<std::string>()), PrintablePath(path));
            }
            entry |= bit;
        }
        ConfiguredFlags& configured = added[NormalPath(path)];
        if (configured.written.empty()) {
            configured.written = path;
        }
        configured.bits |= entry;
    }
    return "";
}

std::string AddConfiguration(std::istream& input, Configuration& configuration) {
    nlohmann::json document;
    input >> document;
    // The flags first, so that a fault in dirs or types cannot cost the manifest its flags.
    std::string error = AddFlags(document["flags"], configuration.flags);
    configuration.flagsUnusable = !error.empty();
    for (const nlohmann::json& dir : document["dirs"]) {
        std::string path = dir.get<std::string>();
        // The system reads a path only up to a NUL byte: the run would walk or hash another
        // file than the one named, and write a manifest line that load refuses.
        if (path.find('\0') != std::string::npos) {
            return fmt::format("Config file error, dirs entry holds a NUL byte: {}\n",
                               PrintablePath(path));
        }
        configuration.dirs.push_back(std::move(path));
    }
    for (const nlohmann::json& type : document["types"]) {
        configuration.types.insert(type.get<std::string>());
    }
    return error.empty() ? "" : "Config file error, " + error + "\n";
}

}  // namespace

std::string ConfigurationPath(const GenerateSettings& settings) {
    return settings.configGiven ? settings.configPath : settings.installedConfig;
}

std::string ReadConfigurationFrom(std::istream& input, Configuration& configuration) {
    // Whatever was added before a fault stays. Until the flags are read, a fault (a file that
    // is not JSON, or not an object) leaves them unknown.
    configuration.flagsUnusable = true;
    try {
        return AddConfiguration(input, configuration);
    } catch (const nlohmann::json::exception& error) {
        return fmt::format("Config file error, {}\n", PrintablePath(error.what()));
    } catch (const std::exception& error) {
        return fmt::format("Can't open config file: {}\n", PrintablePath(error.what()));
    }
}

std::string ReadConfiguration(const GenerateSettings& settings, const ImageRoot& root,
                              Configuration& configuration) {
    const std::string path = ConfigurationPath(settings);
    // A named file is a path of the running system; the default one belongs to the image.
    std::string location = path;
    int error = settings.configGiven ? 0 : root.Resolve(path, location);
    // The configuration says which programs are trusted: one that another user could change is
    // refused, as a key would be.
    FileRead file;
    if (error == 0) {
        file = ReadTrustedFile(location, Exposure::Write);
        error = file.error;
    }
    if (!file.refusal.empty()) {
        configuration.flagsUnusable = true;
        return fmt::format("Error: refusing config file {}: {}\n", PrintablePath(path),
                           file.refusal);
    }
    if (error != 0) {
        // Only the default file is optional; one that exists but cannot be read, a link to
        // nothing included, would leave the administrator's directories, types and trusted
        // programs out without a word.
        if (settings.configGiven || error != ENOENT || root.NamesLink(path)) {
            configuration.flagsUnusable = true;
            return fmt::format("Error: cannot open config file {}: {}\n", PrintablePath(path),
                               std::generic_category().message(error));
        }
        return "";
    }
    std::istringstream input(std::move(file.bytes));
    return ReadConfigurationFrom(input, configuration);
}
