// Paths of a system image, jail or mounted disk, seen from the running system: a path inside
// the image resolves as it would on the system booted from it, its symbolic links included,
// and never leads out of the image, even while the image changes: it is followed name by name
// through open directories, and the system is never left to follow a link.
#pragma once

#include <string>
#include <vector>

#include "common/file_io.h"

// 0 when `directory` can serve as an image root, otherwise the system's error.
int CheckImageRoot(const std::string& directory);

// Where a path leads: the directory that holds its last name, open, and that name.
struct ImageLocation {
    std::string hostPath;  // as ImageRoot::Resolve gives it, for messages
    UniqueFd directory;    // open only to look names up in it
    // No link (unless one was made there since): "." when the path ends on a directory that
    // it passed through, such as the root.
    std::string name;
};

class ImageRoot {
  public:
    // `directory` empty: paths are those of the running system, which resolves them as its
    // own. Otherwise the directory is opened once: the run keeps to it, whatever its path
    // names later.
    explicit ImageRoot(std::string directory);

    // Where `path` (absolute, or relative to the image's root) lies on the running system,
    // every symbolic link in it resolved inside the image; a path that does not exist resolves
    // as far as it does. 0, or the error (ELOOP) that keeps it from resolving.
    int Resolve(const std::string& path, std::string& result) const;
    // Finds what `path` names, inside the image, or on the running system when there is none
    // (a relative path from the working directory there): 0, or the error that keeps it from
    // being found, such as ENOENT. A path that ends with a separator must name a directory.
    int Locate(const std::string& path, ImageLocation& location) const;

    // Whether the last name of `path` is itself a symbolic link, looked up inside the image
    // without following it: true for "/lib" and "/lib/" where /lib links to usr/lib.
    bool NamesLink(const std::string& path) const;
    // Where the existing `path` leads, every link in it resolved, the same for every spelling
    // of one directory and without a trailing separator: inside an image as Resolve gives it,
    // on the running system as realpath(3) does. 0, or the error.
    int Canonical(const std::string& path, std::string& result) const;

  private:
    struct Trail;
    int Follow(const std::string& path, Trail& trail) const;
    std::string HostPath(const std::string& path, const Trail& trail) const;

    std::string root_;
    UniqueFd rootFd_;
    int rootError_ = 0;
};
