// The one door to the kernel: module query, the device calls and the policy's path check. The
// build picks one backend: the real system calls on FreeBSD, a user-space stand-in everywhere
// else. Each call behaves like the system call it is named after, errno included.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// kldfind(2): the id of the loaded kernel file `name` ("veriexec.ko"), or -1 when none is.
int PlatformFindModule(const char* name);
// modfind(2): the id of the module `name` ("veriexec"), or -1; it also finds a module compiled
// into the kernel, which has no file of its own.
int PlatformFindModuleByName(const char* name);
// open(2) of a device node.
int PlatformOpenDevice(const char* path, int flags);
// ioctl(2) on a descriptor from PlatformOpenDevice.
int PlatformDeviceRequest(int fd, unsigned long request, void* argument);
// close(2) of a descriptor from PlatformOpenDevice.
int PlatformCloseDevice(int fd);

// What PlatformCheckPath answers.
enum class PathCheck { Verified, NotVerified, Failed };

// What a facility tells of a file beyond verified or not. The kernel tells nothing more; the
// emulated facility tells why not and the flags of the file's entry.
struct PathCheckDetail {
    std::string reason;            // why it is not verified, or why the check failed; or ""
    std::optional<uint8_t> flags;  // the EntryFlags of the file's entry
};

// mac_syscall(2) with mac_veriexec's check-path call: whether the file that `path` names, links
// followed, is verified. NotVerified is the kernel's EAUTH, which Linux lacks, for a file without
// an entry and for one whose content no longer matches alike. Failed sets errno: ENOSYS when the
// policy is not loaded, or why the file cannot be opened for reading.
PathCheck PlatformCheckPath(const char* path, PathCheckDetail& detail);
