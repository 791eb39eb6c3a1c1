// Preloaded into pelmor-sign by tests: libmagic answers no description at all for any path
// that holds "magic-fails", as it does when it cannot read a file it has opened.
#include <dlfcn.h>
#include <magic.h>

#include <cstring>

extern "C" const char* magic_file(magic_t cookie, const char* path) {
    using MagicFile = const char* (*)(magic_t, const char*);
    static MagicFile real = reinterpret_cast<MagicFile>(dlsym(RTLD_NEXT, "magic_file"));
    if (std::strstr(path, "magic-fails") != nullptr) {
        return nullptr;
    }
    return real(cookie, path);
}
