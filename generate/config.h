// The configuration file of a run: a JSON object whose "dirs" are walked as well and whose
// "types" choose files as well. A broken configuration never stops the run; it is reported,
// and what was read before the fault is kept.
#pragma once

#include <istream>
#include <set>
#include <string>
#include <vector>

#include "generate/image_root.h"
#include "generate/options.h"

inline constexpr const char* DefaultConfigPath = "/usr/local/etc/pelmor-sign.json";

// The -c value, or the default path (which lies inside the image root).
std::string ConfigurationPath(const GenerateSettings& settings);

// Reads the run's configuration, adding its "dirs" to `dirs` and its "types" to `types`.
// Returns the error line to report, or "" (also for a default file that does not exist).
std::string ReadConfiguration(const GenerateSettings& settings, const ImageRoot& root,
                              std::vector<std::string>& dirs, std::set<std::string>& types);

// Reads a configuration from an open stream; returns the error line to report, or "".
std::string ReadConfigurationFrom(std::istream& input, std::vector<std::string>& dirs,
                                  std::set<std::string>& types);
