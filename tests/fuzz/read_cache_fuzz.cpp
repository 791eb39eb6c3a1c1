// Fuzzes the cache reader with any bytes: it either keeps the file's records, exactly those that
// the bytes hold and nothing else, or none and says why in one line. Each input is read as it
// is, and with its checksum appended, so that the records behind the checksum are reached.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/cache.h"
#include "engine/digest.h"
#include "manifest/format.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// The cache's records written again, in path order.
std::string Rewritten(const FileCache& cache) {
    std::string bytes;
    CacheWriter writer([&bytes](std::string_view part) { return bytes += part, 0; },
                       cache.MagicIdentity(), cache.Size());
    for (size_t position = 0; position < cache.Size(); ++position) {
        writer.Add(cache.Record(position));
    }
    writer.Finish();
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string raw(reinterpret_cast<const char*>(data), size);
    std::array<uint8_t, 64> checksum = Sha512OfBytes(raw);
    const std::string sealed = raw + std::string(checksum.begin(), checksum.end());
    for (const std::string& bytes : {raw, sealed}) {
        FileCache cache;
        const std::string reason = cache.Parse(bytes, "libmagic");
        if (!reason.empty()) {
            RequireProperty(cache.Size() == 0, "a cache that is not used holds no record");
            RequireProperty(reason.find_first_of("\n\r") == std::string::npos,
                            "the reason fits in the warning's line");
            continue;
        }
        for (size_t position = 0; position < cache.Size(); ++position) {
            const CacheRecord record = cache.Record(position);
            size_t found;
            cache.Find(record.path, found);
            RequireProperty(PathFitsManifest(std::string(record.path)),
                            "a record's path could be in a manifest");
            RequireProperty(found == position, "each path has its one record");
        }
        // Written again, the records fill the bytes' length, and read back they are the same.
        const std::string written = Rewritten(cache);
        RequireProperty(written.size() == bytes.size(), "the records are the bytes' and no other");
        FileCache again;
        RequireProperty(again.Parse(written, "libmagic").empty() && Rewritten(again) == written,
                        "the records written read back the same");
    }
    return 0;
}
