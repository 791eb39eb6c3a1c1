// A user-space stand-in for the kernel's verified-execution facility, shared by every process
// on the host through a state directory, so that separate runs see one facility as they would
// see the kernel. The emulated platform backend and the veriexec-emulator program use it.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "emulator/table.h"
#include "veriexec/device.h"

// The state directory: $PELMOR_VERIEXEC_EMULATOR, or /run/pelmor-veriexec.
std::string FacilityDirectory();

// The small, rarely changed part of the facility: state bits, loaded modules and the
// failures that tests ask for. Replaced whole and atomically on every change.
struct FacilityControl {
    uint64_t boot = 0;  // new at every boot, as a kernel's state is
    int32_t state = 0;
    uint32_t moduleMask = 0;              // bit i: RequiredModules[i] is loaded from its file
    uint32_t compiledMask = 0;            // bit i: it is compiled into the kernel instead
    std::map<std::string, int> failures;  // request name -> errno it fails with
};

// How the emulated /dev/veriexec node is present; its permission bits carry it.
enum class DeviceMode { Absent, ReadWrite, ReadOnly, WriteOnly, NoAccess };

// The request's name ("LoadEntry", ...), or nullptr when the code is not one of the five.
const char* RequestName(unsigned long request);
// Index of a module in RequiredModules, or -1.
int ModuleIndex(const std::string& name);

// Holds the facility's lock: every request and every change is atomic across processes.
class FacilityLock {
  public:
    explicit FacilityLock(const std::string& directory);
    ~FacilityLock();
    FacilityLock(const FacilityLock&) = delete;
    FacilityLock& operator=(const FacilityLock&) = delete;
    bool Held() const { return fd_ >= 0; }

  private:
    int fd_;
};

// Each returns 0 or an errno value.
int ReadControl(const std::string& directory, FacilityControl& control);
int WriteControl(const std::string& directory, const FacilityControl& control);
DeviceMode ReadDeviceMode(const std::string& directory);
int SetDeviceMode(const std::string& directory, DeviceMode mode);

// Creates a fresh facility (state 0, empty table, device read-write) with the given modules.
int BootFacility(const std::string& directory, uint32_t moduleMask, uint32_t compiledMask = 0);
// Removes the facility's files; anything else in the directory is left alone.
int ShutdownFacility(const std::string& directory);

// open(2) of the emulated device node: the node's permission bits decide, even for root.
int OpenFacilityDevice(const std::string& directory, int flags);

// Carries out one request as the kernel would: `argument` holds the request's argument bytes.
// While enforcing, only the state query is answered for a caller whose program is not
// trusted by the table as it stands at this request.
// Returns 0 or the errno the kernel would give.
int ApplyRequest(const std::string& directory, unsigned long request, unsigned char* argument,
                 CallerTrust& caller);
