#include "veriexec/platform.h"

// sys/module.h and sys/mac.h take their types from these, as FreeBSD documents: first.
#include <sys/param.h>
#include <sys/types.h>

#include <fcntl.h>
#include <security/mac_veriexec/mac_veriexec.h>
#include <sys/ioctl.h>
#include <sys/linker.h>
#include <sys/mac.h>
#include <sys/module.h>
#include <unistd.h>

#include <cerrno>

int PlatformFindModule(const char* name) {
    return kldfind(name);
}

int PlatformFindModuleByName(const char* name) {
    return modfind(name);
}

int PlatformOpenDevice(const char* path, int flags) {
    return open(path, flags);
}

int PlatformDeviceRequest(int fd, unsigned long request, void* argument) {
    return ioctl(fd, request, argument);
}

int PlatformCloseDevice(int fd) {
    return close(fd);
}

// The kernel tells only verified or not: `detail` stays empty.
PathCheck PlatformCheckPath(const char* path, PathCheckDetail&) {
    // The call only reads the path it is given.
    if (mac_syscall(MAC_VERIEXEC_NAME, MAC_VERIEXEC_CHECK_PATH_SYSCALL, const_cast<char*>(path)) ==
        0) {
        return PathCheck::Verified;
    }
    return errno == EAUTH ? PathCheck::NotVerified : PathCheck::Failed;
}
