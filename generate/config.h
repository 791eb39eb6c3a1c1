// The configuration file of a run: a JSON object whose "dirs" are walked as well, whose
// "types" choose files as well, and whose "flags" give the flag tokens of named manifest
// paths. A fault in dirs or types is reported and what was read before it is kept; flags that
// cannot be used or read (a file that cannot be opened or parsed) stop a run that writes a
// manifest, which would lack what the administrator asked for (a loader left untrusted cannot
// load anything once the facility enforces).
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/image_root.h"
#include "generate/options.h"

// The flags that the configuration gives one manifest path.
struct ConfiguredFlags {
    uint8_t bits = 0;     // EntryFlags
    std::string written;  // the path as the configuration spells it, for messages
};

struct Configuration {
    std::vector<std::string> dirs;
    std::set<std::string> types;
    // Keyed by the lexically normal path: "/usr/local/sbin/./pelmor-sign" and a trailing slash
    // name the program all the same. Spellings of one path add up their flags.
    std::map<std::string, ConfiguredFlags> flags;
    // The fault reported lies in flags, or keeps them from being read.
    bool flagsUnusable = false;
};

// The -c value, or the default path (which lies inside the image root).
std::string ConfigurationPath(const GenerateSettings& settings);

// Reads the run's configuration into `configuration`. Returns the error line to report, or ""
// (also for a default file that does not exist).
std::string ReadConfiguration(const GenerateSettings& settings, const ImageRoot& root,
                              Configuration& configuration);

// Reads a configuration from an open stream; returns the error line to report, or "".
std::string ReadConfigurationFrom(std::istream& input, Configuration& configuration);
