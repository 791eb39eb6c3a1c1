#include "generate/selection_rules.h"

#include <algorithm>

#include "generate/shared_state.h"

namespace {

constexpr const char* FirmwareTree = "/usr/local/share/uefi-firmware";

bool Contains(const std::string& text, const std::string& pattern) {
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

bool ShouldSign(const std::string& path, MagicClassifier& classifier) {
    if (Contains(path, FirmwareTree)) {
        return true;
    }
    const std::string description = classifier.Describe(path);
    return std::any_of(
        SigningTypes.begin(), SigningTypes.end(),
        [&description](const std::string& type) { return Contains(description, type); });
}
