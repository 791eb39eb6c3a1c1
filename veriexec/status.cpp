#include "veriexec/status.h"

#include <fmt/core.h>

#include <iostream>

#include "veriexec/device.h"

int ReportVeriexecState() {
    VeriexecState state = 0;
    if (GetVeriexecState(state) != 0) {
        return 1;
    }
    std::string report = fmt::format("Veriexec state: {:#o}\n", state);
    if (state == 0) {
        report += "  INACTIVE\n";
    }
    if (state & VeriexecStateLoaded) {
        report += "  LOADED\n";
    }
    if (state & VeriexecStateActive) {
        report += "  ACTIVE\n";
    }
    if (state & VeriexecStateEnforce) {
        report += "  ENFORCE\n";
    }
    if (state & VeriexecStateLocked) {
        report += "  LOCKED\n";
    }
    std::cout << report;
    return 0;
}
