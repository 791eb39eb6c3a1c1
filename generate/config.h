// The configuration file of a run: a JSON object whose "dirs" are walked as well, whose
// "types" choose files as well, and whose "flags" give the flag tokens of named manifest
// paths. A broken configuration never stops the run; it is reported, and what was read before
// the fault is kept.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "generate/image_root.h"
#include "generate/options.h"

inline constexpr const char* DefaultConfigPath = "/usr/local/etc/pelmor-sign.json";

struct Configuration {
    std::vector<std::string> dirs;
    std::set<std::string> types;
    std::map<std::string, uint8_t> flags;  // absolute manifest path -> EntryFlags bits
};

// The -c value, or the default path (which lies inside the image root).
std::string ConfigurationPath(const GenerateSettings& settings);

// Reads the run's configuration into `configuration`. Returns the error line to report, or ""
// (also for a default file that does not exist).
std::string ReadConfiguration(const GenerateSettings& settings, const ImageRoot& root,
                              Configuration& configuration);

// Reads a configuration from an open stream; returns the error line to report, or "".
std::string ReadConfigurationFrom(std::istream& input, Configuration& configuration);
