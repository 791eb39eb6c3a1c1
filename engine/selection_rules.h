// Which files of a directory walk are signed: the built-in directories and types, the path
// filter, and the predicate on a file's libmagic description.
#pragma once

#include <array>
#include <set>
#include <string>

inline constexpr std::array<const char*, 16> DefaultSignDirs = {
    "/bin",
    "/sbin",
    "/libexec",
    "/lib",
    "/usr/bin",
    "/usr/sbin",
    "/usr/lib",
    "/usr/libexec",
    "/usr/local/bin",
    "/usr/local/sbin",
    "/usr/local/lib",
    "/usr/local/libexec",
    "/usr/local/share/uefi-firmware/",
    "/etc",
    "/usr/local/etc",
    "/boot",
};

// Case-sensitive substrings of a libmagic description that make a file eligible.
inline constexpr std::array<const char*, 6> DefaultSignTypes = {
    "ELF", "POSIX", "setuid ELF", "setgid ELF", "Perl script", "Python script",
};

// False for debug files, compiled Python and everything under /usr/local/share/ except the
// firmware tree. A plain text test: the patterns also match inside longer names.
bool PassesPathFilter(const std::string& path);

// False for anything in the firmware tree, which is signed without asking libmagic.
bool NeedsDescription(const std::string& path);

// Whether the path filter and NeedsDescription judge every path that begins with `prefix` as
// they judge the same path beginning with `other` instead: a directory can then be walked under
// either name and the same files are chosen.
bool JudgedAlike(const std::string& prefix, const std::string& other);

// True for anything in the firmware tree and for files whose description contains one of the
// signing types.
bool ShouldSign(const std::string& path, const std::string& description,
                const std::set<std::string>& signingTypes);
