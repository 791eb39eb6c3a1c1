// What the fuzz targets share: a property that does not hold ends the run the way a crash
// does, so that libFuzzer keeps the input that broke it; a check of bytes; a folder of the run's
// own for targets that read files, and the writing of one.
#pragma once

#include <fcntl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "common/file_io.h"

inline void RequireProperty(bool holds, const char* property) {
    if (!holds) {
        std::fprintf(stderr, "property broken: %s\n", property);
        std::abort();
    }
}

inline bool AllBytesAre(const void* bytes, size_t count, uint8_t value) {
    const auto* begin = static_cast<const uint8_t*>(bytes);
    return std::all_of(begin, begin + count, [value](uint8_t b) { return b == value; });
}

// Writes `bytes` as the whole of the file at `path`, which only the run's user may change.
inline void WriteFuzzFile(const std::string& path, std::string_view bytes) {
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    RequireProperty(fd.Valid() && WriteAll(fd.Get(), bytes.data(), bytes.size()) == 0,
                    "a file of the run written");
}

// A folder that only the run's user can change, as the files that decide trust need, removed
// when the run ends.
class FuzzFolder {
  public:
    FuzzFolder() {
        char name[] = "/tmp/pelmor-fuzz.XXXXXX";
        RequireProperty(mkdtemp(name) != nullptr, "a folder for the run's files");
        path_ = name;
    }
    ~FuzzFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    FuzzFolder(const FuzzFolder&) = delete;
    FuzzFolder& operator=(const FuzzFolder&) = delete;
    std::string Path(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};
