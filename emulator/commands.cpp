#include "emulator/commands.h"

#include <fcntl.h>
#include <fmt/core.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <utility>
#include <vector>

#include "common/printable_path.h"
#include "emulator/facility.h"
#include "emulator/table.h"
#include "manifest/format.h"
#include "veriexec/modules.h"

namespace {

constexpr const char* Usage =
    "usage: veriexec-emulator boot [--without MODULE | --compiled-in MODULE]...\n"
    "       veriexec-emulator kldload MODULE\n"
    "       veriexec-emulator kldunload MODULE\n"
    "       veriexec-emulator device present|absent|read-only|write-only|no-access\n"
    "       veriexec-emulator fail REQUEST ERRNO|off\n"
    "       veriexec-emulator enforce-after COUNT|off\n"
    "       veriexec-emulator set-state VALUE\n"
    "       veriexec-emulator show\n"
    "       veriexec-emulator verify PATH...\n"
    "       veriexec-emulator shutdown\n"
    "       veriexec-emulator -h | --help\n";

struct ErrnoName {
    const char* name;
    int value;
};

constexpr ErrnoName ErrnoNames[] = {
    {"EPERM", EPERM},   {"ENOENT", ENOENT},         {"EINTR", EINTR},         {"EIO", EIO},
    {"ENXIO", ENXIO},   {"EBADF", EBADF},           {"EAGAIN", EAGAIN},       {"ENOMEM", ENOMEM},
    {"EACCES", EACCES}, {"EFAULT", EFAULT},         {"EBUSY", EBUSY},         {"EEXIST", EEXIST},
    {"ENODEV", ENODEV}, {"EINVAL", EINVAL},         {"ENFILE", ENFILE},       {"EMFILE", EMFILE},
    {"ENOTTY", ENOTTY}, {"EFBIG", EFBIG},           {"ENOSPC", ENOSPC},       {"EROFS", EROFS},
    {"ENOSYS", ENOSYS}, {"EOPNOTSUPP", EOPNOTSUPP}, {"ETIMEDOUT", ETIMEDOUT},
};

int Fail(const std::string& message) {
    // Its parts, the facility's folder and the arguments among them, are as given.
    std::cerr << "veriexec-emulator: " << PrintablePath(message) << "\n";
    return 1;
}

int UsageError(const std::string& message) {
    Fail(message);
    std::cerr << Usage;
    return 1;
}

int SystemFailure(const std::string& what, int error) {
    return Fail(fmt::format("{}: {}", what, std::strerror(error)));
}

bool ParseModule(const std::string& name, uint32_t& bit) {
    int index = ModuleIndex(name);
    if (index < 0) {
        return false;
    }
    bit = 1u << index;
    return true;
}

std::string KnownModules() {
    std::string known;
    for (const char* name : RequiredModules) {
        known += known.empty() ? name : std::string(", ") + name;
    }
    return known;
}

// Runs `work` under the facility's lock with its control read; a facility that was never
// booted is reported instead.
int UnderLock(const std::function<int(const std::string&, FacilityControl&)>& work) {
    std::string directory = FacilityDirectory();
    FacilityLock lock(directory);
    FacilityControl control;
    if (!lock.Held() || ReadControl(directory, control) != 0) {
        return Fail(
            fmt::format("no facility in {} (run 'veriexec-emulator boot' first)", directory));
    }
    return work(directory, control);
}

// Runs `change` on the facility's control under its lock and stores the result.
int ChangeControl(const std::function<void(FacilityControl&)>& change) {
    return UnderLock([&change](const std::string& directory, FacilityControl& control) {
        change(control);
        int error = WriteControl(directory, control);
        return error == 0 ? 0 : SystemFailure("cannot update " + directory, error);
    });
}

int Boot(const std::vector<std::string>& arguments) {
    uint32_t modules = (1u << RequiredModules.size()) - 1;
    uint32_t compiled = 0;
    for (size_t i = 1; i < arguments.size(); i += 2) {
        uint32_t bit = 0;
        bool without = arguments[i] == "--without";
        if ((!without && arguments[i] != "--compiled-in") || i + 1 == arguments.size()) {
            return UsageError("boot takes only --without MODULE and --compiled-in MODULE");
        }
        if (!ParseModule(arguments[i + 1], bit)) {
            return Fail(
                fmt::format("unknown module '{}' (known: {})", arguments[i + 1], KnownModules()));
        }
        // A module compiled into the kernel has no file that kldfind(2) could find.
        modules &= ~bit;
        compiled = without ? compiled & ~bit : compiled | bit;
    }
    std::string directory = FacilityDirectory();
    if (int error = BootFacility(directory, modules, compiled); error != 0) {
        return SystemFailure("cannot boot the facility in " + directory, error);
    }
    return 0;
}

int LoadModule(const std::vector<std::string>& arguments, bool load) {
    uint32_t bit = 0;
    if (arguments.size() != 2) {
        return UsageError(arguments[0] + " takes one module name");
    }
    if (!ParseModule(arguments[1], bit)) {
        return Fail(fmt::format("unknown module '{}' (known: {})", arguments[1], KnownModules()));
    }
    return ChangeControl([bit, load](FacilityControl& control) {
        control.moduleMask = load ? control.moduleMask | bit : control.moduleMask & ~bit;
    });
}

struct DeviceModeName {
    const char* name;
    DeviceMode mode;
};

constexpr DeviceModeName DeviceModeNames[] = {
    {"absent", DeviceMode::Absent},      {"read-write", DeviceMode::ReadWrite},
    {"read-only", DeviceMode::ReadOnly}, {"write-only", DeviceMode::WriteOnly},
    {"no-access", DeviceMode::NoAccess},
};

const char* DeviceModeText(DeviceMode mode) {
    for (const auto& entry : DeviceModeNames) {
        if (entry.mode == mode) {
            return entry.name;
        }
    }
    return "absent";
}

int Device(const std::vector<std::string>& arguments) {
    if (arguments.size() != 2) {
        return UsageError("device takes one mode");
    }
    DeviceMode mode = DeviceMode::ReadWrite;
    if (arguments[1] != "present") {
        const DeviceModeName* found = nullptr;
        for (const auto& entry : DeviceModeNames) {
            if (arguments[1] == entry.name) {
                found = &entry;
            }
        }
        if (found == nullptr) {
            return UsageError("unknown device mode '" + arguments[1] + "'");
        }
        mode = found->mode;
    }
    return UnderLock([mode](const std::string& directory, FacilityControl&) {
        int error = SetDeviceMode(directory, mode);
        return error == 0 ? 0 : SystemFailure("cannot change the device in " + directory, error);
    });
}

int InjectFailure(const std::vector<std::string>& arguments) {
    if (arguments.size() != 3) {
        return UsageError("fail takes a request and an errno name or 'off'");
    }
    const std::string& request = arguments[1];
    bool known = request == CheckPathCall;
    for (unsigned long code : {LoadEntry, GetState, Activate, Enforce, Lock}) {
        known = known || request == RequestName(code);
    }
    if (!known) {
        return UsageError("unknown request '" + request +
                          "' (one of LoadEntry, GetState, Activate, Enforce, Lock, CheckPath)");
    }
    int error = 0;
    if (arguments[2] != "off") {
        for (const auto& entry : ErrnoNames) {
            if (arguments[2] == entry.name) {
                error = entry.value;
            }
        }
        if (error == 0) {
            return UsageError("unknown errno name '" + arguments[2] + "'");
        }
    }
    return ChangeControl([&request, error](FacilityControl& control) {
        if (error == 0) {
            control.failures.erase(request);
        } else {
            control.failures[request] = error;
        }
    });
}

int EnforceAfter(const std::vector<std::string>& arguments) {
    if (arguments.size() != 2) {
        return UsageError("enforce-after takes a number of entries or 'off'");
    }
    uint32_t count = 0;
    if (arguments[1] != "off") {
        errno = 0;
        char* end = nullptr;
        unsigned long long value = std::strtoull(arguments[1].c_str(), &end, 10);
        if (!std::isdigit(static_cast<unsigned char>(arguments[1][0])) || *end != '\0' ||
            errno != 0 || value == 0 || value > UINT32_MAX) {
            return UsageError(
                "enforce-after needs a number of entries from 1 to 4294967295, not '" +
                arguments[1] + "'");
        }
        count = static_cast<uint32_t>(value);
    }
    return ChangeControl([count](FacilityControl& control) { control.enforceAfter = count; });
}

int SetState(const std::vector<std::string>& arguments) {
    if (arguments.size() != 2) {
        return UsageError("set-state takes one value");
    }
    errno = 0;
    char* end = nullptr;
    long value = std::strtol(arguments[1].c_str(), &end, 0);
    if (arguments[1].empty() || *end != '\0' || errno != 0 || value < INT32_MIN ||
        value > INT32_MAX) {
        return UsageError("set-state needs a 32-bit integer, not '" + arguments[1] + "'");
    }
    return ChangeControl(
        [value](FacilityControl& control) { control.state = static_cast<int32_t>(value); });
}

std::string FieldText(const char* field, size_t size) {
    return std::string(field, strnlen(field, size));
}

// Reads the control and brings `table` up to the log, under the facility's lock.
int WithTable(FacilityTable& table, FacilityControl& control) {
    return UnderLock([&table, &control](const std::string& directory, FacilityControl& read) {
        control = read;
        int error = table.Update(directory, read.boot);
        return error == 0 ? 0 : SystemFailure("cannot read the table in " + directory, error);
    });
}

int Show() {
    FacilityTable table;
    FacilityControl control;
    if (int status = WithTable(table, control); status != 0) {
        return status;
    }
    std::string directory = FacilityDirectory();
    std::string text = fmt::format("state 0x{:02x}\nmodules", static_cast<uint32_t>(control.state));
    for (size_t i = 0; i < RequiredModules.size(); ++i) {
        if (control.moduleMask & (1u << i)) {
            text += std::string(" ") + RequiredModules[i];
        }
    }
    if (control.compiledMask != 0) {
        text += "\ncompiled-in";
        for (size_t i = 0; i < RequiredModules.size(); ++i) {
            if (control.compiledMask & (1u << i)) {
                text += std::string(" ") + RequiredModules[i];
            }
        }
    }
    text += fmt::format("\ndevice {}\n", DeviceModeText(ReadDeviceMode(directory)));
    std::cout << text;
    // One line per loaded file, in the order of the paths they were loaded by.
    std::vector<std::pair<std::string, off_t>> byPath;
    TableRecord record;
    for (const auto& [key, offset] : table.Latest()) {
        if (!table.Read(offset, record)) {
            return SystemFailure("cannot read the table in " + directory, EIO);
        }
        byPath.emplace_back(FieldText(record.entry.path, EntryPathSize), offset);
    }
    std::sort(byPath.begin(), byPath.end());
    for (const auto& [path, offset] : byPath) {
        if (!table.Read(offset, record)) {
            return SystemFailure("cannot read the table in " + directory, EIO);
        }
        const ManifestEntry& entry = record.entry;
        std::cout << fmt::format(
            "entry\t0x{:02x}\t{}\t{}\t{}\n", entry.flags,
            PrintablePath(FieldText(entry.fingerprintType, FingerprintTypeSize)),
            EncodeHex(entry.fingerprint, FingerprintSize), PrintablePath(path));
    }
    return 0;
}

int Verify(const std::vector<std::string>& arguments) {
    if (arguments.size() < 2) {
        return UsageError("verify takes one or more paths");
    }
    FacilityTable table;
    FacilityControl control;
    if (int status = WithTable(table, control); status != 0) {
        return status;
    }
    int status = 0;
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string& path = arguments[i];
        FileVerdict verdict = table.Verdict(
            path, [&path](const char* algorithm) { return FileDigester(algorithm).Hash(path); });
        if (!verdict.verified) {
            status = 1;
        }
        std::cout << fmt::format("{}: {}\n", PrintablePath(path),
                                 verdict.verified ? "ok" : PrintablePath(verdict.reason));
    }
    return status;
}

int Shutdown() {
    std::string directory = FacilityDirectory();
    if (int error = ShutdownFacility(directory); error != 0) {
        return SystemFailure("cannot remove the facility in " + directory, error);
    }
    return 0;
}

}  // namespace

int RunEmulatorCommand(const std::vector<std::string>& arguments) {
    if (arguments.empty()) {
        return UsageError("a command is required");
    }
    const std::string& command = arguments[0];
    bool bare = arguments.size() == 1;
    if ((command == "-h" || command == "--help") && bare) {
        std::cout << Usage;
        return 0;
    }
    if (command == "boot") {
        return Boot(arguments);
    }
    if (command == "kldload" || command == "kldunload") {
        return LoadModule(arguments, command == "kldload");
    }
    if (command == "device") {
        return Device(arguments);
    }
    if (command == "fail") {
        return InjectFailure(arguments);
    }
    if (command == "enforce-after") {
        return EnforceAfter(arguments);
    }
    if (command == "set-state") {
        return SetState(arguments);
    }
    if (command == "verify") {
        return Verify(arguments);
    }
    if ((command == "show" || command == "shutdown") && !bare) {
        return UsageError(command + " takes no arguments");
    }
    if (command == "show") {
        return Show();
    }
    if (command == "shutdown") {
        return Shutdown();
    }
    return UsageError("unknown command '" + command + "'");
}
