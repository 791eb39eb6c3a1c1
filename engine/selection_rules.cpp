#include "engine/selection_rules.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace {

constexpr const char* FirmwareTree = "/usr/local/share/uefi-firmware";
// Every pattern that the path rules look for.
constexpr std::array<std::string_view, 4> Patterns = {".debug", ".pyc", FirmwareTree,
                                                      "/usr/local/share/"};

bool Contains(std::string_view text, std::string_view pattern) {
    return text.find(pattern) != std::string::npos;
}

}  // namespace

bool PassesPathFilter(const std::string& path) {
    if (Contains(path, ".debug") || Contains(path, ".pyc")) {
        return false;
    }
    if (Contains(path, FirmwareTree)) {
        return true;
    }
    return !Contains(path, "/usr/local/share/");
}

bool JudgedAlike(const std::string& prefix, const std::string& other) {
    auto endsWith = [](std::string_view text, std::string_view end) {
        return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
    };
    // A pattern lies in the prefix, in what follows it, or across the two: the rules agree when
    // both prefixes hold each pattern alike and end alike on each of its beginnings.
    for (std::string_view pattern : Patterns) {
        if (Contains(prefix, pattern) != Contains(other, pattern)) {
            return false;
        }
        for (size_t length = 1; length < pattern.size(); ++length) {
            if (endsWith(prefix, pattern.substr(0, length)) !=
                endsWith(other, pattern.substr(0, length))) {
                return false;
            }
        }
    }
    return true;
}

bool NeedsDescription(const std::string& path) {
    return !Contains(path, FirmwareTree);
}

bool ShouldSign(const std::string& path, const std::string& description,
                const std::set<std::string>& signingTypes) {
    if (!NeedsDescription(path)) {
        return true;
    }
    return std::any_of(
        signingTypes.begin(), signingTypes.end(),
        [&description](const std::string& type) { return Contains(description, type); });
}
