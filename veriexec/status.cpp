#include "veriexec/status.h"

#include <fmt/core.h>

#include <iostream>
#include <nlohmann/json.hpp>
#include <vector>

#include "veriexec/device.h"

int ReportVeriexecState(OutputFormat format) {
    VeriexecState state = 0;
    if (GetVeriexecState(state) != 0) {
        return 1;
    }
    std::vector<const char*> names;
    if (state == 0) {
        names.push_back("INACTIVE");
    }
    for (const auto& [bit, name] : {std::pair{VeriexecStateLoaded, "LOADED"},
                                    {VeriexecStateActive, "ACTIVE"},
                                    {VeriexecStateEnforce, "ENFORCE"},
                                    {VeriexecStateLocked, "LOCKED"}}) {
        if (state & bit) {
            names.push_back(name);
        }
    }
    if (format == OutputFormat::Json) {
        std::cout << nlohmann::ordered_json{{"state", state}, {"names", names}}.dump() + "\n";
        return 0;
    }
    std::string report = fmt::format("Veriexec state: {:#o}\n", state);
    for (const char* name : names) {
        report += fmt::format("  {}\n", name);
    }
    std::cout << report;
    return 0;
}
