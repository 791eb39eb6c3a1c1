// A user-space stand-in for the kernel's verified-execution facility, shared by every process
// on the host through a state directory, so that separate runs see one facility as they would
// see the kernel. The emulated platform backend and the veriexec-emulator program use it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

#include "common/file_io.h"
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
    // When not 0: enforce is set right after this many more entries have loaded, as another
    // process's enforce request between two of them would set it.
    uint32_t enforceAfter = 0;
};

// How the emulated /dev/veriexec node is present; its permission bits carry it.
enum class DeviceMode { Absent, ReadWrite, ReadOnly, WriteOnly, NoAccess };

// The request's name ("LoadEntry", ...), or nullptr when the code is not one of the five.
const char* RequestName(unsigned long request);
// The name that `fail` gives mac_veriexec's check-path call, which is no device request.
inline constexpr const char* CheckPathCall = "CheckPath";
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

// One process's requests to the facility while it holds the device open. Between them it keeps
// only what spares opening and parsing the same files again, never a decision: the lock file
// open, and the control file it read last, open, with what it holds. Every request still takes
// the lock and looks at the control file in place: a change replaces that file whole and never
// writes into it, and a file held open keeps its identity, so the same identity means the same
// control. Used by one thread at a time.
class FacilitySession {
  public:
    // Carries out one request as the kernel would: `argument` holds the request's argument
    // bytes. While enforcing, only the state query is answered for a caller whose program is
    // not trusted by the table as it stands at this request.
    // Returns 0 or the errno the kernel would give.
    int Apply(const std::string& directory, unsigned long request, unsigned char* argument,
              CallerTrust& caller);
    // Closes what it keeps.
    void Close();

  private:
    // Takes the facility's lock in `directory_`; false when there is no facility.
    bool TakeLock();
    // Brings `control_` up to the control file in place; 0 or an errno.
    int ReadControlInPlace();

    std::string directory_;
    // A forked child shares the parent's open lock file, and with it the lock: it opens its own.
    pid_t process_ = 0;
    UniqueFd lock_;
    UniqueFd controlFile_;
    dev_t controlDevice_ = 0;
    ino_t controlInode_ = 0;
    FacilityControl control_;
};
