#include "veriexec/modules.h"

#include <fmt/core.h>

#include <cstdlib>
#include <iostream>

#include "veriexec/platform.h"

void CheckRequiredModules() {
    for (const char* name : RequiredModules) {
        if (PlatformFindModule(name) == -1) {
            std::cerr << fmt::format("Error: required kernel module '{}' is not loaded\n", name);
            std::exit(1);
        }
    }
}
