#include "engine/selection_rules.h"

#include <algorithm>
#include <string_view>

namespace {

constexpr const char* FirmwareTree = "/usr/local/share/uefi-firmware";

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
