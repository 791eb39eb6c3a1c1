#include "generate/config.h"

#include <fmt/core.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <nlohmann/json.hpp>
#include <system_error>

namespace {

// Opens the configuration; returns 0, or the system error that keeps it from being read.
int OpenConfiguration(const std::string& path, std::ifstream& file) {
    errno = 0;
    file.open(path);
    if (!file.is_open()) {
        return errno != 0 ? errno : EIO;
    }
    // A directory opens as a stream here and only fails when read.
    struct stat status;
    if (stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        return EISDIR;
    }
    return 0;
}

std::string AddConfiguration(std::istream& input, std::vector<std::string>& dirs,
                             std::set<std::string>& types) {
    nlohmann::json document;
    input >> document;
    for (const nlohmann::json& dir : document["dirs"]) {
        std::string path = dir.get<std::string>();
        // The system reads a path only up to a NUL byte: the run would walk or hash another
        // file than the one named, and write a manifest line that load refuses.
        if (path.find('\0') != std::string::npos) {
            return fmt::format("Config file error, dirs entry holds a NUL byte: {}\n",
                               dir.dump(-1, ' ', true));
        }
        dirs.push_back(std::move(path));
    }
    for (const nlohmann::json& type : document["types"]) {
        types.insert(type.get<std::string>());
    }
    return "";
}

}  // namespace

std::string ConfigurationPath(const GenerateSettings& settings) {
    return settings.configGiven ? settings.configPath : DefaultConfigPath;
}

std::string ReadConfigurationFrom(std::istream& input, std::vector<std::string>& dirs,
                                  std::set<std::string>& types) {
    // Whatever was added before a fault stays.
    try {
        return AddConfiguration(input, dirs, types);
    } catch (const nlohmann::json::exception& error) {
        return fmt::format("Config file error, {}\n", error.what());
    } catch (const std::exception& error) {
        return fmt::format("Can't open config file: {}\n", error.what());
    }
}

std::string ReadConfiguration(const GenerateSettings& settings, const ImageRoot& root,
                              std::vector<std::string>& dirs, std::set<std::string>& types) {
    const std::string path = ConfigurationPath(settings);
    // A named file is a path of the running system; the default one belongs to the image.
    std::string location = path;
    int error = settings.configGiven ? 0 : root.Resolve(path, location);
    std::ifstream file;
    if (error == 0) {
        error = OpenConfiguration(location, file);
    }
    if (error != 0) {
        // Only the default file is optional; one that exists but cannot be read would leave
        // the administrator's directories and types out without a word.
        if (settings.configGiven || error != ENOENT) {
            return fmt::format("Error: cannot open config file {}: {}\n", path,
                               std::generic_category().message(error));
        }
        return "";
    }
    return ReadConfigurationFrom(file, dirs, types);
}
