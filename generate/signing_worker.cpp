#include "generate/signing_worker.h"

#include "common/allocator.h"
#include "generate/run_context.h"

namespace {

// Often enough to keep a worker within a few buffers of libmagic's, rarely enough to cost
// nothing measurable.
constexpr uint32_t DescriptionsBetweenReleases = 256;

}  // namespace

void SigningWorker::Run() {
    WorkQueue::Piece piece;
    while (run_.queue.Take(piece)) {
        piece(*this);
        piece = nullptr;
        run_.queue.Done();
    }
}

bool SigningWorker::Describe(const std::string& hostPath, std::string& description) {
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
    if (!classifier_.Describe(hostPath, description, error)) {
        run_.Fail(error);
        return false;
    }
    return true;
}
