#include "support/hidden_system.h"

#include <fcntl.h>
#include <magic.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <regex>

#include "generate/selection_rules.h"

namespace fs = std::filesystem;

namespace {

// The shared libraries the dynamic loader maps for `binary`, the loader included.
std::vector<std::string> SharedLibraries(const std::string& binary) {
    std::vector<std::string> libraries;
    FILE* ldd = popen(("ldd '" + binary + "'").c_str(), "r");
    if (ldd == nullptr) {
        return libraries;
    }
    char line[4096];
    std::regex path("(/[^ \t]+) \\(0x");
    while (std::fgets(line, sizeof line, ldd) != nullptr) {
        std::cmatch match;
        if (std::regex_search(line, match, path)) {
            libraries.push_back(match[1]);
        }
    }
    pclose(ldd);
    return libraries;
}

bool MakeParents(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        if (mkdir(path.substr(0, slash).c_str(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return true;
}

}  // namespace

HiddenSystemPlan PlanHiddenSystem(const std::string& binary,
                                  const std::map<std::string, std::string>& replacements) {
    std::vector<std::string> needed = SharedLibraries(binary);
    // libmagic's default database is a colon-separated list of files, each possibly compiled.
    std::string databases = magic_getpath(nullptr, 0);
    for (size_t start = 0, end; start <= databases.size(); start = end + 1) {
        end = std::min(databases.find(':', start), databases.size());
        needed.push_back(databases.substr(start, end - start));
        needed.push_back(needed.back() + ".mgc");
    }
    needed.push_back("/etc/ld.so.cache");
    HiddenSystemPlan plan;
    static int count = 0;
    plan.staging = "/tmp/pelmor-hidden-" + std::to_string(getpid()) + "-" + std::to_string(++count);
    std::error_code error;
    for (const char* directory : DefaultSignDirs) {
        fs::path real = fs::canonical(directory, error);
        if (error || !fs::is_directory(real)) {
            continue;
        }
        bool seen = false;
        for (const auto& cover : plan.covers) {
            seen = seen || cover.directory == real.native();
        }
        if (seen) {
            continue;
        }
        HiddenSystemPlan::Cover cover{real.native(), {}, ""};
        if (auto replacement = replacements.find(directory); replacement != replacements.end()) {
            cover.replacement = replacement->second;
            plan.covers.push_back(cover);
            continue;
        }
        for (const std::string& file : needed) {
            // The loader looks a library up by its link name, which points at the real file.
            fs::path link =
                fs::canonical(fs::path(file).parent_path(), error) / fs::path(file).filename();
            for (const fs::path& path : {link, fs::canonical(file, error)}) {
                if (!error && path.native().rfind(cover.directory + "/", 0) == 0) {
                    std::string target =
                        fs::is_symlink(path) ? fs::read_symlink(path).native() : "";
                    cover.keep.push_back({path.native().substr(cover.directory.size()), target});
                }
            }
        }
        plan.covers.push_back(cover);
    }
    return plan;
}

bool EnterHiddenSystem(const HiddenSystemPlan& plan) {
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mkdir(plan.staging.c_str(), 0700) != 0) {
        return false;
    }
    for (size_t i = 0; i < plan.covers.size(); ++i) {
        const auto& cover = plan.covers[i];
        if (!cover.replacement.empty()) {
            if (mount(cover.replacement.c_str(), cover.directory.c_str(), nullptr, MS_BIND,
                      nullptr)) {
                return false;
            }
            continue;
        }
        std::string original = plan.staging + "/" + std::to_string(i);
        if (mkdir(original.c_str(), 0700) != 0 ||
            mount(cover.directory.c_str(), original.c_str(), nullptr, MS_BIND | MS_REC, nullptr) ||
            mount("tmpfs", cover.directory.c_str(), "tmpfs", 0, "mode=755")) {
            return false;
        }
        for (const auto& keep : cover.keep) {
            std::string target = cover.directory + keep.path;
            if (!MakeParents(target)) {
                return false;
            }
            if (!keep.symlink.empty()) {
                if (symlink(keep.symlink.c_str(), target.c_str()) != 0 && errno != EEXIST) {
                    return false;
                }
                continue;
            }
            int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0755);
            if (fd < 0) {
                return false;
            }
            close(fd);
            if (mount((original + keep.path).c_str(), target.c_str(), nullptr, MS_BIND, nullptr)) {
                return false;
            }
        }
        // The kept files stay bound; the way to the rest of the directory goes away, so that
        // nothing of it can be walked.
        if (umount2(original.c_str(), MNT_DETACH) != 0 || rmdir(original.c_str()) != 0) {
            return false;
        }
    }
    return rmdir(plan.staging.c_str()) == 0;
}
