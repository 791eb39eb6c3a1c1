// The edits of a draft keys file, before it is signed: keys added, or given a new not-after
// date, and keys revoked. An edit leaves the draft unsigned: a signature beside it no longer
// covers its bytes and is removed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct KeysAddSettings {
    std::string file;                     // FILE, made when missing
    std::vector<std::string> publicKeys;  // PUBKEY...
    std::optional<int64_t> notAfter;      // --not-after
};

struct KeysRevokeSettings {
    std::string file;              // FILE, made when missing
    std::vector<std::string> ids;  // ID...: full ids, or short ids of listed keys
};

// `keys add` and `keys revoke`; each returns the exit status.
int AddKeys(const KeysAddSettings& settings);
int RevokeKeys(const KeysRevokeSettings& settings);
