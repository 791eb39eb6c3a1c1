// The requests that /dev/veriexec understands: their codes, the state bits, and a descriptor
// on the device that closes itself. Every talk with the kernel facility goes through here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "manifest/entry.h"

inline constexpr const char* VeriexecDevicePath = "/dev/veriexec";

// VeriexecState bits.
enum : int32_t {
    VeriexecStateLoaded = 0x01,
    VeriexecStateActive = 0x02,
    VeriexecStateEnforce = 0x04,
    VeriexecStateLocked = 0x08,
};
using VeriexecState = int32_t;

// BSD ioctl request encoding: direction in bits 29-31, argument size in bits 16-28,
// group in bits 8-15, number in bits 0-7.
inline constexpr unsigned long RequestDirectionNone = 0x20000000UL;
inline constexpr unsigned long RequestDirectionOut = 0x40000000UL;
inline constexpr unsigned long RequestDirectionIn = 0x80000000UL;
inline constexpr unsigned long RequestSizeMask = 0x1fffUL;

constexpr unsigned long EncodeRequest(unsigned long direction, unsigned long group,
                                      unsigned long number, unsigned long size) {
    return direction | ((size & RequestSizeMask) << 16) | (group << 8) | number;
}
constexpr unsigned long RequestArgumentSize(unsigned long request) {
    return (request >> 16) & RequestSizeMask;
}

enum VeriexecRequest : unsigned long {
    LoadEntry = 0x8451530cUL,
    GetState = 0x40045307UL,
    Activate = 0x20005302UL,
    Enforce = 0x20005303UL,
    Lock = 0x20005304UL,
};

static_assert(LoadEntry == EncodeRequest(RequestDirectionIn, 'S', 12, sizeof(ManifestEntry)));
static_assert(GetState == EncodeRequest(RequestDirectionOut, 'S', 7, sizeof(int32_t)));
static_assert(Activate == EncodeRequest(RequestDirectionNone, 'S', 2, 0));
static_assert(Enforce == EncodeRequest(RequestDirectionNone, 'S', 3, 0));
static_assert(Lock == EncodeRequest(RequestDirectionNone, 'S', 4, 0));

// An open descriptor on /dev/veriexec, closed when the object goes away.
class DeviceHandle {
  public:
    // Opens the device with the given open(2) access flags; check IsOpen() and errno.
    explicit DeviceHandle(int flags);
    ~DeviceHandle();
    DeviceHandle(const DeviceHandle&) = delete;
    DeviceHandle& operator=(const DeviceHandle&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    // Issues one request; 0 or more on success, negative with errno set on failure.
    int Request(unsigned long request, void* argument);
    void Close();

  private:
    int fd_;
};

// Reads the facility's state into `state`: 0 on success, -1 after a warning on stderr.
int GetVeriexecState(VeriexecState& state);
// The same through `device`, opened for reading and kept for more queries.
int ReadVeriexecState(DeviceHandle& device, VeriexecState& state);
// Whether the facility is there and enforces; false on a host without it, as a build host, and
// true, after a warning, where it is there but cannot be opened or its state read.
bool FacilityEnforces();
