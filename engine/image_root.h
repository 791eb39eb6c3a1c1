// Paths of a system image, jail or mounted disk, seen from the running system: a path inside
// the image resolves as it would on the system booted from it, its symbolic links included,
// and never leads out of the image.
#pragma once

#include <string>

// 0 when `directory` can serve as an image root, otherwise the system's error.
int CheckImageRoot(const std::string& directory);

class ImageRoot {
  public:
    // `directory` empty: paths are those of the running system.
    explicit ImageRoot(std::string directory);

    // Where `path` (absolute, or relative to the image's root) lies on the running system,
    // every symbolic link in it resolved inside the image; a path that does not exist resolves
    // as far as it does. 0, or the error (ELOOP) that keeps it from resolving.
    int Resolve(const std::string& path, std::string& result) const;

  private:
    std::string root_;
};
