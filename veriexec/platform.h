// The one door to the kernel: module query and the device calls. The build picks one
// backend: the real system calls on FreeBSD, a user-space stand-in everywhere else.
// Each call behaves like the system call it is named after, errno included.
#pragma once

// kldfind(2): a module id, or -1 when the module is not loaded.
int PlatformFindModule(const char* name);
// open(2) of a device node.
int PlatformOpenDevice(const char* path, int flags);
// ioctl(2) on a descriptor from PlatformOpenDevice.
int PlatformDeviceRequest(int fd, unsigned long request, void* argument);
// close(2) of a descriptor from PlatformOpenDevice.
int PlatformCloseDevice(int fd);
