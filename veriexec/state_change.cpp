#include "veriexec/state_change.h"

#include <err.h>
#include <fcntl.h>
#include <fmt/core.h>

#include <iostream>

int SetVeriexecState(VeriexecRequest request, const char* name, AuditLog& audit) {
    VeriexecState state = 0;
    if (GetVeriexecState(state) != 0) {
        return 1;
    }
    if ((request == Activate || request == Enforce) && !(state & VeriexecStateLoaded)) {
        std::cerr << fmt::format(
            "Error: '{}' requires a loaded manifest (run 'pelmor-sign load' first)\n", name);
        return 1;
    }
    if (state & VeriexecStateLocked) {
        std::cerr << fmt::format(
            "Error: veriexec is locked, state change to '{}' is not possible (reboot required)\n",
            name);
        return 1;
    }
    DeviceHandle device(O_WRONLY);
    if (!device.IsOpen()) {
        warn("cannot open %s", VeriexecDevicePath);
        return 1;
    }
    int32_t unused = 0;
    if (device.Request(request, &unused) < 0) {
        warn("cannot set veriexec state '%s'", name);
        return 1;
    }
    std::cout << fmt::format("Veriexec state set to '{}'\n", name);
    audit.Record(AuditKind::Change, fmt::format("veriexec state set to '{}'", name));
    return 0;
}
