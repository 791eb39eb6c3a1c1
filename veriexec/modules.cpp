#include "veriexec/modules.h"

#include <fmt/core.h>

#include "veriexec/platform.h"

std::string CheckRequiredModules() {
    for (const char* name : RequiredModules) {
        // A kernel built with the facility compiled in has no .ko file: its modules are found by
        // their names, the file names without ".ko".
        std::string module(name);
        module.resize(module.size() - 3);
        if (PlatformFindModule(name) == -1 && PlatformFindModuleByName(module.c_str()) == -1) {
            return fmt::format("Error: required kernel module '{}' is not loaded\n", name);
        }
    }
    return "";
}
