// The record of one manifest entry as the kernel takes it: flags, fingerprint type, path and
// fingerprint, in the 1105-byte layout of the load request. What a manifest line becomes, and
// what the emulated facility keeps.
#pragma once

#include <cstddef>
#include <cstdint>

enum EntryFlags : uint8_t {
    Indirect = 0x01,
    NonExecutable = 0x02,
    NoPtrace = 0x04,
    Trusted = 0x08,
};

inline constexpr std::size_t FingerprintTypeSize = 16;
inline constexpr std::size_t EntryPathSize = 1024;
inline constexpr std::size_t FingerprintSize = 64;

#pragma pack(push, 1)
struct ManifestEntry {
    uint8_t flags;
    char fingerprintType[FingerprintTypeSize];
    char path[EntryPathSize];
    uint8_t fingerprint[FingerprintSize];
};
#pragma pack(pop)

static_assert(sizeof(ManifestEntry) == 1105, "the kernel expects a 1105-byte record");
static_assert(offsetof(ManifestEntry, fingerprintType) == 1);
static_assert(offsetof(ManifestEntry, path) == 17);
static_assert(offsetof(ManifestEntry, fingerprint) == 1041);
