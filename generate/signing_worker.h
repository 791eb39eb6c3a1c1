// One hashing thread of a generate run: takes jobs from JobQueue until it is empty, hashes a
// queued file or walks a queued directory, and appends each job's manifest lines to
// ManifestStream as one block, followed by one progress line.
#pragma once

#include <cstdint>
#include <string>

void SigningWorker(int32_t index);

// Whether `load` can read back a manifest line for this path as written: the line's fields
// are separated by spaces and a line ends at a line feed, and the kernel takes 1023 bytes.
bool PathFitsManifest(const std::string& path);
