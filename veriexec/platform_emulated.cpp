#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "common/file_io.h"
#include "emulator/facility.h"
#include "emulator/table.h"
#include "engine/digest.h"
#include "veriexec/platform.h"

namespace {

// The process as the kernel knows it: the program it runs, which lasts as long as the process, as
// the kernel's own record of a process does (what it remembers of the table is only an index);
// and what it keeps of the facility while it holds the device open, forgotten with the last
// descriptor so that a command leaves nothing open behind it. The calls it stands for may come
// from any thread.
struct EmulatedProcess {
    std::mutex mutex;
    CallerTrust caller{"/proc/self/exe"};
    FacilitySession session;
    int openDevices = 0;
};

EmulatedProcess& Process() {
    static EmulatedProcess process;
    return process;
}

// The table as this process last read it: only an index, brought up to date at every call, so
// that asking about many files reads the log once.
FacilityTable& KnownTable() {
    static FacilityTable table;
    return table;
}

// The id of the module at `index` when the facility holds it loaded from its file, or with
// `compiledToo` compiled into the kernel as well; or -1. No facility directory means nothing was
// ever loaded, as on a freshly booted host.
int FindModule(int index, bool compiledToo) {
    FacilityControl control;
    if (index < 0 || ReadControl(FacilityDirectory(), control) != 0) {
        return -1;
    }
    uint32_t present = control.moduleMask | (compiledToo ? control.compiledMask : 0);
    return present & (1u << index) ? index + 1 : -1;
}

}  // namespace

int PlatformFindModule(const char* name) {
    return FindModule(ModuleIndex(name), false);
}

// A loaded file's module is found as well as one compiled into the kernel.
int PlatformFindModuleByName(const char* name) {
    return FindModule(ModuleIndex(std::string(name) + ".ko"), true);
}

int PlatformOpenDevice(const char* path, int flags) {
    if (std::strcmp(path, VeriexecDevicePath) != 0) {
        errno = ENOENT;
        return -1;
    }
    int fd = OpenFacilityDevice(FacilityDirectory(), flags);
    if (fd >= 0) {
        EmulatedProcess& process = Process();
        std::lock_guard<std::mutex> hold(process.mutex);
        ++process.openDevices;
    }
    return fd;
}

int PlatformDeviceRequest(int fd, unsigned long request, void* argument) {
    if (RequestName(request) == nullptr) {
        errno = ENOTTY;
        return -1;
    }
    int status = fcntl(fd, F_GETFL);
    if (status == -1) {
        return -1;
    }
    int access = status & O_ACCMODE;
    bool permitted = request == GetState ? access != O_WRONLY : access != O_RDONLY;
    if (!permitted) {
        errno = EBADF;
        return -1;
    }
    // The kernel copies exactly the size that the request code carries, both ways.
    unsigned char buffer[RequestSizeMask + 1] = {};
    size_t size = RequestArgumentSize(request);
    if (request & RequestDirectionIn) {
        std::memcpy(buffer, argument, size);
    }
    EmulatedProcess& process = Process();
    std::unique_lock<std::mutex> hold(process.mutex);
    int error = process.session.Apply(FacilityDirectory(), request, buffer, process.caller);
    hold.unlock();
    if (error != 0) {
        errno = error;
        return -1;
    }
    if (request & RequestDirectionOut) {
        std::memcpy(argument, buffer, size);
    }
    return 0;
}

int PlatformCloseDevice(int fd) {
    EmulatedProcess& process = Process();
    std::lock_guard<std::mutex> hold(process.mutex);
    if (process.openDevices > 0 && --process.openDevices == 0) {
        process.session.Close();
    }
    return close(fd);
}

// The table's verdict, which the emulator's verify gives too, read as the kernel's answer.
PathCheck PlatformCheckPath(const char* path, PathCheckDetail& detail) {
    std::string directory = FacilityDirectory();
    FacilityTable& table = KnownTable();
    {
        FacilityLock lock(directory);
        FacilityControl control;
        // No facility, or no policy module: there is no mac_veriexec policy to take the call.
        uint32_t policy = 1u << ModuleIndex("mac_veriexec.ko");
        if (!lock.Held() || ReadControl(directory, control) != 0 ||
            !((control.moduleMask | control.compiledMask) & policy)) {
            errno = ENOSYS;
            return PathCheck::Failed;
        }
        auto failure = control.failures.find(CheckPathCall);
        int error = failure != control.failures.end() ? failure->second
                                                      : table.Update(directory, control.boot);
        if (error != 0) {
            errno = error;
            return PathCheck::Failed;
        }
    }
    // The kernel first opens the file for reading, as the caller; never waiting for a FIFO's
    // writer here.
    UniqueFd file(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.Valid()) {
        return PathCheck::Failed;
    }
    std::string name(path);
    FileVerdict verdict = table.Verdict(
        name, [&name](const char* algorithm) { return FileDigester(algorithm).Hash(name); });
    detail.reason = verdict.reason;
    if (verdict.entry) {
        detail.flags = verdict.entry->flags;
    }
    if (verdict.unreadable) {
        errno = EIO;
        return PathCheck::Failed;
    }
    return verdict.verified ? PathCheck::Verified : PathCheck::NotVerified;
}
