#include "veriexec/platform.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/linker.h>
#include <sys/module.h>
#include <sys/param.h>
#include <unistd.h>

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
