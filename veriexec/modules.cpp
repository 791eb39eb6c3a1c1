#include "veriexec/modules.h"

#include <fmt/core.h>

#include "veriexec/platform.h"

std::string CheckRequiredModules() {
    for (const char* name : RequiredModules) {
        if (PlatformFindModule(name) == -1) {
            return fmt::format("Error: required kernel module '{}' is not loaded\n", name);
        }
    }
    return "";
}
