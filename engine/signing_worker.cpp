#include "engine/signing_worker.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "common/allocator.h"
#include "common/file_io.h"
#include "engine/run_context.h"
#include "manifest/format.h"

namespace {

// Often enough to keep a worker within a few buffers of libmagic's, rarely enough to cost
// nothing measurable.
constexpr uint32_t DescriptionsBetweenReleases = 256;
// From this size on, libmagic's buffers for a file are mapped apart, and take up to 14 MiB while
// it is described: such files are described in turns. Turns for smaller files as well cost the
// waiting workers more time than they saved memory.
constexpr off_t LargeFile = 4 * 1024 * 1024;

}  // namespace

void SigningWorker::Run() {
    digester_.CountInto(run_.progress.counts);
    WorkQueue::Piece piece;
    while (run_.queue.Take(piece)) {
        piece(*this);
        piece = nullptr;
        run_.queue.Done();
    }
}

CacheRecord SigningWorker::Known(const std::string& path, size_t& position) {
    if (knownPath_ != path) {
        knownPath_ = path;
        known_ = run_.cache->Find(path, knownPosition_);
    }
    position = knownPosition_;
    return known_;
}

bool SigningWorker::Cached(const std::string& path, const struct stat& status,
                           CacheNotes::Use use) {
    if (run_.cache == nullptr || !S_ISREG(status.st_mode) ||
        (use == CacheNotes::Description && !run_.cache->DescriptionsValid())) {
        return false;
    }
    size_t position;
    CacheRecord known = Known(path, position);
    return (use == CacheNotes::Description ? known.described : known.hashed) &&
           known.identity == FileIdentity::Of(status);
}

bool SigningWorker::Describe(const std::string& path, const std::string& hostPath, int fd,
                             const struct stat& status, std::string& description) {
    if (run_.cache != nullptr && run_.cache->DescriptionsValid()) {
        size_t position;
        CacheRecord known = Known(path, position);
        if (known.described && known.identity == FileIdentity::Of(status)) {
            description = known.description;
            if (notes_.Reused(position, CacheNotes::Description)) {
                run_.progress.counts.reused.fetch_add(1, std::memory_order_relaxed);
            }
            return true;
        }
    }
    if (!classifierOpen_) {
        if (std::string error = classifier_.Open(run_.magic); !error.empty()) {
            run_.Fail(error);
            return false;
        }
        classifierOpen_ = true;
    }
    // libmagic's freed buffers would otherwise pile up in this thread's heap.
    if (++descriptions_ % DescriptionsBetweenReleases == 0) {
        ReleaseFreeMemory();
    }
    std::string error;
    bool large = status.st_size >= LargeFile;
    if (large) {
        run_.largeFiles.Take();
    }
    bool described = classifier_.Describe(fd, status, hostPath, description, error);
    if (large) {
        run_.largeFiles.Give();
    }
    if (!described) {
        run_.Fail(error);
        return false;
    }
    if (run_.cache != nullptr) {
        notes_.Described(path, FileIdentity::Of(status), description);
    }
    return true;
}

DigestResult SigningWorker::Hash(const std::string& path, const std::string& hostPath, int fd,
                                 const struct stat& status) {
    if (run_.cache == nullptr) {
        return digester_.Hash(fd, hostPath);
    }
    size_t position;
    CacheRecord known = Known(path, position);
    FileIdentity identity = FileIdentity::Of(status);
    if (S_ISREG(status.st_mode) && known.hashed && known.identity == identity) {
        if (notes_.Reused(position, CacheNotes::Digest)) {
            run_.progress.counts.reused.fetch_add(1, std::memory_order_relaxed);
        }
        DigestResult result;
        result.status = 0;
        result.text = EncodeHex(known.digest, 64);
        result.identity = identity;
        return result;
    }
    ++hashed_;
    DigestResult result = digester_.Hash(fd, hostPath);
    // The content read is what the record vouches for: the status it had while it was read.
    uint8_t digest[64];
    if (result.status == 0 && DecodeHexFingerprint(result.text, digest, sizeof digest) == 64) {
        notes_.Hashed(path, result.identity, digest);
    }
    return result;
}

DigestResult SigningWorker::Hash(const std::string& path, const std::string& hostPath) {
    struct stat status;
    if (run_.cache != nullptr && stat(hostPath.c_str(), &status) == 0 &&
        Cached(path, status, CacheNotes::Digest)) {
        ++unopened_;
        return Hash(path, hostPath, -1, status);
    }
    // Not blocking: a named pipe must not hold the worker until some writer appears.
    UniqueFd file(open(hostPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!file.Valid() || fstat(file.Get(), &status) != 0) {
        return OpenFailure(hostPath, errno);
    }
    return Hash(path, hostPath, file.Get(), status);
}
