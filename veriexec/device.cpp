#include "veriexec/device.h"

#include <err.h>
#include <errno.h>
#include <fcntl.h>

#include "veriexec/platform.h"

DeviceHandle::DeviceHandle(int flags) : fd_(PlatformOpenDevice(VeriexecDevicePath, flags)) {}

DeviceHandle::~DeviceHandle() {
    Close();
}

int DeviceHandle::Request(unsigned long request, void* argument) {
    return PlatformDeviceRequest(fd_, request, argument);
}

void DeviceHandle::Close() {
    if (fd_ >= 0) {
        PlatformCloseDevice(fd_);
        fd_ = -1;
    }
}

int GetVeriexecState(VeriexecState& state) {
    DeviceHandle device(O_RDONLY);
    if (!device.IsOpen()) {
        warn("cannot open %s", VeriexecDevicePath);
        return -1;
    }
    return ReadVeriexecState(device, state);
}

int ReadVeriexecState(DeviceHandle& device, VeriexecState& state) {
    if (device.Request(GetState, &state) < 0) {
        warn("cannot get veriexec state");
        return -1;
    }
    return 0;
}

bool FacilityEnforces() {
    DeviceHandle device(O_RDONLY);
    if (!device.IsOpen()) {
        // No device: no facility, as on a build host. A device that is there but cannot be
        // opened may well enforce.
        if (errno == ENOENT) {
            return false;
        }
        warn("cannot open %s", VeriexecDevicePath);
        return true;
    }
    // A facility whose state cannot be read is taken to enforce: the stricter of the two.
    VeriexecState state = 0;
    return ReadVeriexecState(device, state) != 0 || (state & VeriexecStateEnforce) != 0;
}
