#include "generate/config.h"

#include <fmt/core.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <system_error>

#include "generate/shared_state.h"

namespace {

void ReportError(const std::string& line) {
    std::cerr << line;
    ++ReportedErrorCount;
}

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

void AddConfiguration(std::istream& input) {
    nlohmann::json document;
    input >> document;
    for (const nlohmann::json& dir : document["dirs"]) {
        std::string path = dir.get<std::string>();
        // The system reads a path only up to a NUL byte: the run would walk or hash another
        // file than the one named, and write a manifest line that load refuses.
        if (path.find('\0') != std::string::npos) {
            ReportError(fmt::format("Config file error, dirs entry holds a NUL byte: {}\n",
                                    dir.dump(-1, ' ', true)));
            return;
        }
        JobQueue.emplace_back(std::move(path));
    }
    for (const nlohmann::json& type : document["types"]) {
        SigningTypes.insert(type.get<std::string>());
    }
}

}  // namespace

void ReadConfigurationFrom(std::istream& input) {
    // Whatever was added before a fault stays.
    try {
        AddConfiguration(input);
    } catch (const nlohmann::json::exception& error) {
        ReportError(fmt::format("Config file error, {}\n", error.what()));
    } catch (const std::exception& error) {
        ReportError(fmt::format("Can't open config file: {}\n", error.what()));
    }
}

void ReadConfiguration(const GenerateSettings& settings) {
    const std::string path = settings.configGiven ? settings.configPath : DefaultConfigPath;
    if (settings.configGiven) {
        std::cout << fmt::format("Config path from command line: {}\n", path);
    } else {
        std::cout << fmt::format("Config path default: {}\n", path);
    }
    std::ifstream file;
    if (int error = OpenConfiguration(path, file); error != 0) {
        // Only the default file is optional; one that exists but cannot be read would leave
        // the administrator's directories and types out without a word.
        if (settings.configGiven || error != ENOENT) {
            ReportError(fmt::format("Error: cannot open config file {}: {}\n", path,
                                    std::generic_category().message(error)));
        }
        return;
    }
    ReadConfigurationFrom(file);
}
