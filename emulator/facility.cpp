#include "emulator/facility.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>

#include "common/file_io.h"
#include "emulator/table.h"
#include "manifest/format.h"
#include "veriexec/modules.h"

namespace {

std::string FilePath(const std::string& directory, const char* name) {
    return directory + "/" + name;
}

constexpr const char* ControlFile = "control";
constexpr const char* ControlUpdateFile = "control.new";
constexpr const char* DeviceFile = "device";
constexpr const char* LockFile = "lock";

// Creates an empty file with the given mode, or truncates an existing one.
int CreateEmptyFile(const std::string& path, mode_t mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        return errno;
    }
    close(fd);
    return chmod(path.c_str(), mode) == 0 ? 0 : errno;
}

bool ModuleLoaded(const FacilityControl& control, const char* name) {
    int index = ModuleIndex(name);
    return index >= 0 && ((control.moduleMask | control.compiledMask) & (1u << index));
}

// The fingerprint module a type needs, or nullptr for a type the kernel does not know.
const char* ModuleForType(const char* type) {
    if (std::strcmp(type, "sha256") == 0) {
        return "mac_veriexec_sha256.ko";
    }
    if (std::strcmp(type, "sha512") == 0) {
        return "mac_veriexec_sha512.ko";
    }
    return nullptr;
}

int ApplyLoadEntry(const std::string& directory, const FacilityControl& control,
                   const ManifestEntry& entry) {
    if (control.state & VeriexecStateLocked) {
        return EPERM;
    }
    char type[FingerprintTypeSize + 1] = {};
    std::memcpy(type, entry.fingerprintType, FingerprintTypeSize);
    const char* module = ModuleForType(type);
    if (module == nullptr || !ModuleLoaded(control, module)) {
        return EINVAL;
    }
    size_t pathLength = strnlen(entry.path, EntryPathSize);
    if (pathLength == EntryPathSize || entry.path[0] != '/') {
        return EINVAL;
    }
    // The kernel keys the entry by the file the path names now, not by the path.
    TableKey key;
    if (KeyOf(entry.path, key) != 0) {
        return ENOENT;
    }
    if (int error = AppendEntry(directory, {key.device, key.inode, entry}); error != 0) {
        return error;
    }
    if ((control.state & VeriexecStateLoaded) && control.enforceAfter == 0) {
        return 0;
    }
    FacilityControl changed = control;
    changed.state |= VeriexecStateLoaded;
    if (changed.enforceAfter > 0 && --changed.enforceAfter == 0) {
        changed.state |= VeriexecStateActive | VeriexecStateEnforce;
    }
    return WriteControl(directory, changed);
}

int ApplyStateChange(const std::string& directory, const FacilityControl& control,
                     unsigned long request) {
    if (control.state & VeriexecStateLocked) {
        return EPERM;
    }
    FacilityControl changed = control;
    if (request == Lock) {
        changed.state |= VeriexecStateLocked;
    } else if (!(control.state & VeriexecStateLoaded)) {
        return EINVAL;
    } else if (request == Activate) {
        changed.state |= VeriexecStateActive;
    } else {
        changed.state |= VeriexecStateActive | VeriexecStateEnforce;
    }
    return WriteControl(directory, changed);
}

// The largest control file read: it holds a few short lines.
constexpr std::size_t ControlFileLimit = 1 << 16;

// Reads and parses the control file open at `fd`; 0 or an errno.
int ParseControl(int fd, FacilityControl& control) {
    std::string text;
    if (int error = ReadAll(fd, text, ControlFileLimit); error != 0) {
        return error;
    }
    control = FacilityControl();
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key == "boot") {
            words >> control.boot;
        } else if (key == "state") {
            words >> control.state;
        } else if (key == "module" || key == "compiled") {
            std::string name;
            words >> name;
            if (int index = ModuleIndex(name); index >= 0) {
                (key == "module" ? control.moduleMask : control.compiledMask) |= 1u << index;
            }
        } else if (key == "fail") {
            std::string request;
            int error = 0;
            if (words >> request >> error) {
                control.failures[request] = error;
            }
        } else if (key == "enforce-after") {
            words >> control.enforceAfter;
        }
    }
    return 0;
}

}  // namespace

std::string FacilityDirectory() {
    const char* directory = std::getenv("PELMOR_VERIEXEC_EMULATOR");
    return directory != nullptr && *directory != '\0' ? directory : "/run/pelmor-veriexec";
}

const char* RequestName(unsigned long request) {
    switch (request) {
        case LoadEntry:
            return "LoadEntry";
        case GetState:
            return "GetState";
        case Activate:
            return "Activate";
        case Enforce:
            return "Enforce";
        case Lock:
            return "Lock";
        default:
            return nullptr;
    }
}

int ModuleIndex(const std::string& name) {
    for (size_t i = 0; i < RequiredModules.size(); ++i) {
        if (name == RequiredModules[i]) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

FacilityLock::FacilityLock(const std::string& directory)
    : fd_(open(FilePath(directory, LockFile).c_str(), O_RDONLY | O_CLOEXEC)) {
    while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            close(fd_);
            fd_ = -1;
        }
    }
}

FacilityLock::~FacilityLock() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

int ReadControl(const std::string& directory, FacilityControl& control) {
    UniqueFd file(open(FilePath(directory, ControlFile).c_str(), O_RDONLY | O_CLOEXEC));
    return file.Valid() ? ParseControl(file.Get(), control) : errno;
}

int WriteControl(const std::string& directory, const FacilityControl& control) {
    std::string text =
        "boot " + std::to_string(control.boot) + "\nstate " + std::to_string(control.state) + "\n";
    for (size_t i = 0; i < RequiredModules.size(); ++i) {
        if (control.moduleMask & (1u << i)) {
            text += std::string("module ") + RequiredModules[i] + "\n";
        }
        if (control.compiledMask & (1u << i)) {
            text += std::string("compiled ") + RequiredModules[i] + "\n";
        }
    }
    for (const auto& [request, error] : control.failures) {
        text += "fail " + request + " " + std::to_string(error) + "\n";
    }
    if (control.enforceAfter > 0) {
        text += "enforce-after " + std::to_string(control.enforceAfter) + "\n";
    }
    // Written aside and renamed into place, so a reader or a crash never sees half of it.
    std::string update = FilePath(directory, ControlUpdateFile);
    int fd = open(update.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return errno;
    }
    int error = WriteAll(fd, text.data(), text.size());
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && rename(update.c_str(), FilePath(directory, ControlFile).c_str()) != 0) {
        error = errno;
    }
    return error;
}

DeviceMode ReadDeviceMode(const std::string& directory) {
    struct stat status;
    if (stat(FilePath(directory, DeviceFile).c_str(), &status) != 0) {
        return DeviceMode::Absent;
    }
    bool readable = status.st_mode & S_IRUSR;
    bool writable = status.st_mode & S_IWUSR;
    if (readable && writable) {
        return DeviceMode::ReadWrite;
    }
    if (readable) {
        return DeviceMode::ReadOnly;
    }
    return writable ? DeviceMode::WriteOnly : DeviceMode::NoAccess;
}

int SetDeviceMode(const std::string& directory, DeviceMode mode) {
    std::string node = FilePath(directory, DeviceFile);
    mode_t bits = 0;
    switch (mode) {
        case DeviceMode::Absent:
            return unlink(node.c_str()) == 0 || errno == ENOENT ? 0 : errno;
        case DeviceMode::ReadWrite:
            bits = 0600;
            break;
        case DeviceMode::ReadOnly:
            bits = 0400;
            break;
        case DeviceMode::WriteOnly:
            bits = 0200;
            break;
        case DeviceMode::NoAccess:
            bits = 0;
            break;
    }
    // An existing node is not opened: for its owner, unless root, its own bits may refuse that.
    int fd = open(node.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, bits);
    if (fd >= 0) {
        close(fd);
    } else if (errno != EEXIST) {
        return errno;
    }
    return chmod(node.c_str(), bits) == 0 ? 0 : errno;
}

int BootFacility(const std::string& directory, uint32_t moduleMask, uint32_t compiledMask) {
    ShutdownFacility(directory);
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) {
        return error.value();
    }
    FacilityControl control;
    control.boot = std::random_device()() | static_cast<uint64_t>(std::random_device()()) << 32;
    control.moduleMask = moduleMask;
    control.compiledMask = compiledMask;
    for (int result :
         {CreateEmptyFile(FilePath(directory, LockFile), 0644),
          CreateEmptyFile(FilePath(directory, EntriesFile), 0644), WriteControl(directory, control),
          SetDeviceMode(directory, DeviceMode::ReadWrite)}) {
        if (result != 0) {
            return result;
        }
    }
    return 0;
}

int ShutdownFacility(const std::string& directory) {
    for (const char* name : {DeviceFile, ControlUpdateFile, ControlFile, EntriesFile, LockFile}) {
        if (unlink(FilePath(directory, name).c_str()) != 0 && errno != ENOENT) {
            return errno;
        }
    }
    // Only the facility's own files were removed: a directory that holds anything else stays.
    if (rmdir(directory.c_str()) != 0 && errno != ENOENT && errno != ENOTEMPTY && errno != EEXIST) {
        return errno;
    }
    return 0;
}

int OpenFacilityDevice(const std::string& directory, int flags) {
    DeviceMode mode = ReadDeviceMode(directory);
    if (mode == DeviceMode::Absent) {
        errno = ENOENT;
        return -1;
    }
    int access = flags & O_ACCMODE;
    bool wantsRead = access == O_RDONLY || access == O_RDWR;
    bool wantsWrite = access == O_WRONLY || access == O_RDWR;
    bool mayRead = mode == DeviceMode::ReadWrite || mode == DeviceMode::ReadOnly;
    bool mayWrite = mode == DeviceMode::ReadWrite || mode == DeviceMode::WriteOnly;
    if ((wantsRead && !mayRead) || (wantsWrite && !mayWrite)) {
        errno = EACCES;
        return -1;
    }
    // The node's permission bits were checked above, since root would pass any check of
    // open(2) itself; the descriptor keeps the access asked for, which requests check.
    return open(FilePath(directory, DeviceFile).c_str(), access | O_CLOEXEC);
}

int FacilitySession::Apply(const std::string& directory, unsigned long request,
                           unsigned char* argument, CallerTrust& caller) {
    if (directory != directory_ || getpid() != process_) {
        Close();
        directory_ = directory;
        process_ = getpid();
    }
    if (!TakeLock()) {
        return ENXIO;
    }
    // Released on every way out; the file stays open for the next request.
    struct Unlock {
        int fd;
        ~Unlock() { flock(fd, LOCK_UN); }
    } unlock{lock_.Get()};
    if (ReadControlInPlace() != 0) {
        return ENXIO;
    }
    const FacilityControl& control = control_;
    if ((control.state & VeriexecStateEnforce) && request != GetState &&
        !caller.Trusted(directory, control.boot)) {
        return EPERM;
    }
    if (auto failure = control.failures.find(RequestName(request));
        failure != control.failures.end()) {
        return failure->second;
    }
    switch (request) {
        case LoadEntry: {
            ManifestEntry entry;
            std::memcpy(&entry, argument, sizeof entry);
            return ApplyLoadEntry(directory, control, entry);
        }
        case GetState:
            std::memcpy(argument, &control.state, sizeof control.state);
            return 0;
        case Activate:
        case Enforce:
        case Lock:
            return ApplyStateChange(directory, control, request);
        default:
            return ENOTTY;
    }
}

void FacilitySession::Close() {
    directory_.clear();
    lock_.Reset();
    controlFile_.Reset();
}

bool FacilitySession::TakeLock() {
    for (;;) {
        if (!lock_.Valid()) {
            lock_.Reset(open(FilePath(directory_, LockFile).c_str(), O_RDONLY | O_CLOEXEC));
            if (!lock_.Valid()) {
                return false;
            }
        }
        int locked;
        while ((locked = flock(lock_.Get(), LOCK_EX)) != 0 && errno == EINTR) {
        }
        struct stat status;
        if (locked != 0 || fstat(lock_.Get(), &status) != 0) {
            lock_.Reset();
            return false;
        }
        if (status.st_nlink > 0) {
            return true;
        }
        // Removed since it was opened, by a shutdown or a boot: the lock is the file in place.
        lock_.Reset();
    }
}

int FacilitySession::ReadControlInPlace() {
    std::string path = FilePath(directory_, ControlFile);
    struct stat status;
    if (stat(path.c_str(), &status) != 0) {
        return errno;
    }
    if (controlFile_.Valid() && status.st_dev == controlDevice_ && status.st_ino == controlInode_) {
        return 0;
    }
    controlFile_.Reset(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!controlFile_.Valid() || fstat(controlFile_.Get(), &status) != 0) {
        int error = errno;
        controlFile_.Reset();
        return error;
    }
    if (int error = ParseControl(controlFile_.Get(), control_); error != 0) {
        controlFile_.Reset();
        return error;
    }
    controlDevice_ = status.st_dev;
    controlInode_ = status.st_ino;
    return 0;
}
