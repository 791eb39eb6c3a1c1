// The one door to the kernel: module query and the device calls. The build picks one
// backend: the real system calls on FreeBSD, a user-space stand-in everywhere else.
// Each call behaves like the system call it is named after, errno included.
#pragma once

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
