// The kernel modules that every command needs before it touches the device.
#pragma once

#include <array>

inline constexpr std::array<const char*, 4> RequiredModules = {
    "veriexec.ko", "mac_veriexec.ko", "mac_veriexec_sha256.ko", "mac_veriexec_sha512.ko"};

// Returns when every required module is loaded; otherwise reports the first missing one on
// stderr and ends the process with status 1.
void CheckRequiredModules();
