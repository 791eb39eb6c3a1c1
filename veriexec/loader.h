// The load command: sends every entry line of a manifest to the kernel facility, with the
// warnings, counts and summary of a load.
#pragma once

#include <string>

// Loads the manifest at `path` into the kernel facility; returns the exit status of `load`.
int LoadManifest(const std::string& path);
