#include "manifest/slot.h"

#include <fcntl.h>
#include <fmt/core.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/printable_path.h"
#include "manifest/sign.h"

namespace {

std::string Folder(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string SwitchError(const std::string& path, int error) {
    return fmt::format("Error: cannot switch {}: {}\n", PrintablePath(path), std::strerror(error));
}

}  // namespace

std::string FreeSlot(const std::string& path) {
    struct stat in, a;
    bool onA = stat(path.c_str(), &in) == 0 && stat((path + ".a").c_str(), &a) == 0 &&
               in.st_dev == a.st_dev && in.st_ino == a.st_ino;
    return path + (onA ? ".b" : ".a");
}

std::string FillSlot(const std::string& slot, std::string_view bytes, std::string_view signature,
                     std::string_view what) {
    SignedPair pair(slot, slot + ".sig", what);
    std::string error = pair.Check();
    return error.empty() ? pair.Replace(bytes, signature) : error;
}

std::string SwitchToSlot(const std::string& path, const std::string& slot) {
    std::string link = path + ".link";
    std::string name = slot.substr(slot.rfind('/') + 1);
    if (unlink(link.c_str()) != 0 && errno != ENOENT) {
        return SwitchError(path, errno);
    }
    if (symlink(name.c_str(), link.c_str()) != 0 || rename(link.c_str(), path.c_str()) != 0) {
        int error = errno;
        unlink(link.c_str());
        return SwitchError(path, error);
    }
    // On the disk before any record is raised.
    int folder = open(Folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int error = folder < 0 || fsync(folder) != 0 ? errno : 0;
    if (folder >= 0) {
        close(folder);
    }
    return error == 0 ? "" : SwitchError(path, error);
}
