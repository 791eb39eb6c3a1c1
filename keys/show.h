// `keys show`: what a keys file holds, the state of each key, and whether the root key signed
// it, as lines of text or one JSON document; its exit status tells a script whether the file
// verifies and has not expired.
#pragma once

#include <string>

#include "common/output_format.h"

struct KeysShowSettings {
    std::string file;      // FILE; the installed keys file when empty
    std::string keysFile;  // --keys, by default the installed keys file
    std::string keyPath;   // --key: the root key, by default the trusted key
    OutputFormat format = OutputFormat::Text;
};

// Returns 0 when the file verifies with the root key and has not expired, else 1.
int ShowKeys(const KeysShowSettings& settings);
