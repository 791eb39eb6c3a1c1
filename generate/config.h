// The configuration step of a generate run: the JSON file whose "dirs" join the job queue
// and whose "types" join the signing types. A broken configuration never stops the run.
#pragma once

#include <istream>

#include "generate/options.h"

inline constexpr const char* DefaultConfigPath = "/usr/local/etc/pelmor-sign.json";

// The configuration step: prints the config path line, appends `dirs` to JobQueue and inserts
// `types` into SigningTypes; every error it reports adds 1 to ReportedErrorCount.
void ReadConfiguration(const GenerateSettings& settings);

// Reads the configuration from an open stream: appends `dirs` to JobQueue, inserts `types` into
// SigningTypes, and reports a fault as one line on stderr that adds 1 to ReportedErrorCount.
void ReadConfigurationFrom(std::istream& input);
