// An OpenSSL provider that offers nothing and records each time it is loaded: one line added
// to the file that PELMOR_PROVIDER_RECORD names. The tests name it in an OPENSSL_CONF to see
// which commands a configuration can reach.
#include <fcntl.h>
#include <openssl/core.h>
#include <openssl/core_dispatch.h>
#include <unistd.h>

#include <cstdlib>

namespace {

const OSSL_ALGORITHM* QueryNothing(void*, int, int* cache) {
    *cache = 0;
    return nullptr;
}

const OSSL_DISPATCH Dispatch[] = {
    {OSSL_FUNC_PROVIDER_QUERY_OPERATION, reinterpret_cast<void (*)()>(QueryNothing)}, {0, nullptr}};

}  // namespace

extern "C" int OSSL_provider_init(const OSSL_CORE_HANDLE*, const OSSL_DISPATCH*,
                                  const OSSL_DISPATCH** out, void** context) {
    if (const char* record = std::getenv("PELMOR_PROVIDER_RECORD"); record != nullptr) {
        int fd = open(record, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ssize_t written = write(fd, "loaded\n", 7);
            (void)written;
            close(fd);
        }
    }
    *out = Dispatch;
    *context = nullptr;
    return 1;
}
