// Fuzzes the cache reader with any bytes: it either keeps the file's records, exactly those that
// the bytes hold and nothing else, or none and says why in one line. Each input is read as it
// is, and with its checksum appended, so that the records behind the checksum are reached.
#include <cstddef>
#include <cstdint>
#include <string>

#include "generate/cache.h"
#include "generate/digest.h"
#include "tests/fuzz/fuzz_support.h"
#include "veriexec/manifest_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string raw(reinterpret_cast<const char*>(data), size);
    std::array<uint8_t, 64> checksum = Sha512OfBytes(raw);
    const std::string sealed = raw + std::string(checksum.begin(), checksum.end());
    for (const std::string& bytes : {raw, sealed}) {
        FileCache cache;
        const std::string reason = cache.Parse(bytes, "libmagic");
        if (!reason.empty()) {
            RequireProperty(cache.Records().empty(), "a cache that is not used holds no record");
            RequireProperty(reason.find_first_of("\n\r") == std::string::npos,
                            "the reason fits in the warning's line");
            continue;
        }
        // Written again, the records give back the very bytes: each was read from them, whole.
        RequireProperty(SerializeCache(cache.MagicIdentity(), cache.Records()) == bytes,
                        "the records are the bytes' and no other");
        for (const auto& [path, record] : cache.Records()) {
            RequireProperty(PathFitsManifest(path), "a record's path could be in a manifest");
            RequireProperty(cache.Find(path) == &record, "each path has its one record");
        }
    }
    return 0;
}
