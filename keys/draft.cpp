#include "keys/draft.h"

#include <fmt/core.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "common/file_io.h"
#include "common/printable_path.h"
#include "common/replacement_file.h"
#include "manifest/key.h"
#include "manifest/keys_file.h"

namespace {

// A draft as an edit reads it: the file that its path names and what that holds; a missing
// file is an empty draft.
struct Draft {
    std::string path;
    std::string target;
    std::optional<std::string> bytes;
    KeysFile content;
};

std::string ReadDraft(const std::string& path, Draft& draft) {
    FileRead read;
    std::string error = ReadKeysFile(path, read, draft.content);
    draft.path = path;
    if (read.error == ENOENT && read.refusal.empty()) {
        draft.target = FinalTarget(path);
        return "";
    }
    draft.target = read.target;
    draft.bytes = std::move(read.bytes);
    return error;
}

// Writes the draft where it was read, never through a link, when the edit changed it, after
// removing the signature beside it: whatever happens next, no signature lies beside bytes it
// does not cover. Prints what it did once it is done; returns "" or the error line.
std::string WriteDraft(const Draft& draft, const std::string& changes) {
    std::string text = FormatKeysFile(draft.content);
    if (draft.bytes == text) {
        std::cout << changes << fmt::format("Draft {} unchanged\n", PrintablePath(draft.path));
        return "";
    }
    ReplacementFile file(draft.target, ReplacementFile::Target::RegularOnly);
    if (int error = file.Check(); error != 0) {
        return file.ErrorLine("keys file", error);
    }
    std::string signature = KeysSignaturePath(draft.target);
    if (unlink(signature.c_str()) == 0) {
        std::cout << fmt::format("Removed {}: the draft it signed has changed\n",
                                 PrintablePath(signature));
    } else if (errno != ENOENT) {
        return fmt::format("Error: cannot remove signature file {}: {}\n", PrintablePath(signature),
                           std::strerror(errno));
    }
    if (int error = file.Replace({text}); error != 0) {
        return file.ErrorLine("keys file", error);
    }
    std::cout << changes
              << fmt::format("Wrote draft {}: {} keys, {} revoked\n", PrintablePath(draft.path),
                             draft.content.keys.size(), draft.content.revoked.size());
    return "";
}

std::string NotAfter(const std::optional<int64_t>& date) {
    return date ? "not after " + FormatUtcDate(*date) : "without a not-after date";
}

// Adds the key at `path` to the draft, or gives the key listed already the new date; "" or the
// error line.
std::string AddKey(const std::string& path, const KeysAddSettings& settings, Draft& draft,
                   std::string& changes) {
    ManifestKey key;
    if (std::string error = key.ReadFile(path, KeyPart::Public); !error.empty()) {
        return error;
    }
    if (draft.content.revoked.count(key.FullId()) != 0) {
        return fmt::format("Error: refusing key {}: key {} is revoked in {}\n", PrintablePath(path),
                           key.Id(), PrintablePath(draft.path));
    }
    auto [listed, added] = draft.content.keys.try_emplace(key.FullId());
    std::string name = fmt::format("key {} from {}", key.Id(), PrintablePath(path));
    if (added) {
        changes += fmt::format("Added {}{}\n", name,
                               settings.notAfter ? ", " + NotAfter(settings.notAfter) : "");
    } else {
        changes += fmt::format("Kept {}, listed already{}\n", name,
                               listed->second.notAfter == settings.notAfter
                                   ? ""
                                   : ", now " + NotAfter(settings.notAfter));
    }
    listed->second.key = std::move(key);
    listed->second.notAfter = settings.notAfter;
    return "";
}

// The full id that `id` names: itself, or the one listed key whose full id it begins; "" with
// the error line in `error` when it names none or several.
std::string FullIdNamed(const std::string& id, const Draft& draft, std::string& error) {
    if (id.size() == 64) {
        return id;
    }
    const auto& keys = draft.content.keys;
    auto first = keys.lower_bound(id), end = first;
    while (end != keys.end() && end->first.compare(0, id.size(), id) == 0) {
        ++end;
    }
    if (first == end || std::next(first) != end) {
        error = fmt::format(
            first == end ? "Error: no key listed in {0} has the id {1} (revoke a key not listed "
                           "by its full id)\n"
                         : "Error: the id {1} names {2} keys listed in {0}: give the full id\n",
            PrintablePath(draft.path), id, std::distance(first, end));
        return "";
    }
    return first->first;
}

int Report(const std::string& error) {
    std::cerr << error;
    return error.empty() ? 0 : 1;
}

}  // namespace

int AddKeys(const KeysAddSettings& settings) {
    Draft draft;
    std::string error = ReadDraft(settings.file, draft), changes;
    for (size_t at = 0; error.empty() && at < settings.publicKeys.size(); ++at) {
        error = AddKey(settings.publicKeys[at], settings, draft, changes);
    }
    return Report(error.empty() ? WriteDraft(draft, changes) : error);
}

int RevokeKeys(const KeysRevokeSettings& settings) {
    Draft draft;
    std::string error = ReadDraft(settings.file, draft), changes;
    for (size_t at = 0; error.empty() && at < settings.ids.size(); ++at) {
        std::string id = FullIdNamed(settings.ids[at], draft, error);
        if (id.empty()) {
            break;
        }
        KeysFile& content = draft.content;
        changes += content.revoked.count(id) != 0 ? fmt::format("Key {} was revoked already\n", id)
                   : content.keys.erase(id) != 0
                       ? fmt::format("Revoked key {}, listed until now\n", id)
                       : fmt::format("Revoked key {}, not listed\n", id);
        content.revoked.insert(id);
    }
    return Report(error.empty() ? WriteDraft(draft, changes) : error);
}
