// What a file's status says of its content without reading it: device, inode, size and the
// modification and change times to the nanosecond. The same identity means the same content
// unless someone rewrote the file and set its clock back.
#pragma once

#include <sys/stat.h>

#include <cstdint>

struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = -1;
    int64_t modifiedSeconds = 0;
    int64_t modifiedNanoseconds = 0;
    int64_t changedSeconds = 0;
    int64_t changedNanoseconds = 0;

    static FileIdentity Of(const struct stat& status) {
        return {static_cast<uint64_t>(status.st_dev),
                static_cast<uint64_t>(status.st_ino),
                static_cast<int64_t>(status.st_size),
                status.st_mtim.tv_sec,
                status.st_mtim.tv_nsec,
                status.st_ctim.tv_sec,
                status.st_ctim.tv_nsec};
    }
    bool operator==(const FileIdentity& other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               modifiedSeconds == other.modifiedSeconds &&
               modifiedNanoseconds == other.modifiedNanoseconds &&
               changedSeconds == other.changedSeconds &&
               changedNanoseconds == other.changedNanoseconds;
    }
    bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};
