// The kernel modules that every command needs before it touches the device: each loaded from
// its file, or compiled into the kernel.
#pragma once

#include <array>
#include <string>

inline constexpr std::array<const char*, 4> RequiredModules = {
    "veriexec.ko", "mac_veriexec.ko", "mac_veriexec_sha256.ko", "mac_veriexec_sha512.ko"};

// "" when every required module is loaded; otherwise the error line that names the first
// missing one, for the command to print before it ends with status 1.
std::string CheckRequiredModules();
