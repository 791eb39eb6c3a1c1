// `keys sign`: the draft keys file given its serial, expiry and floor, written in its one form,
// and signed with the root key beside it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "manifest/signing_key.h"

struct KeysSignSettings {
    std::string file;                // FILE
    SigningKeySettings key;          // -k: the root key; --passin, --provider
    std::optional<uint64_t> serial;  // --serial; one above the draft's by default
    std::optional<uint64_t> floor;   // --floor; the draft's by default
    std::optional<int64_t> expires;  // --expires, seconds since the epoch; required
};

// Returns the exit status.
int SignKeys(const KeysSignSettings& settings);
