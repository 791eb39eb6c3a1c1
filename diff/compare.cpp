#include "diff/compare.h"

#include <algorithm>
#include <cstring>

namespace {

// By path, and of two records of one path the later line first, the one that stays.
template <typename Record>
void SortKeepingLaterLines(std::vector<Record>& records) {
    std::sort(records.begin(), records.end(), [](const Record& a, const Record& b) {
        int order = a.path.compare(b.path);
        return order < 0 || (order == 0 && a.order > b.order);
    });
    records.erase(std::unique(records.begin(), records.end(),
                              [](const Record& a, const Record& b) { return a.path == b.path; }),
                  records.end());
}

}  // namespace

void ManifestComparison::AddOld(const ManifestEntry& entry) {
    OldRecord& record = old_.emplace_back();
    record.path = entry.path;
    record.order = static_cast<uint32_t>(old_.size());
    record.flags = entry.flags;
    std::memcpy(record.type, entry.fingerprintType, sizeof record.type);
    std::memcpy(record.fingerprint, entry.fingerprint, sizeof record.fingerprint);
}

void ManifestComparison::FinishOld() {
    SortKeepingLaterLines(old_);
}

void ManifestComparison::AddNew(const ManifestEntry& entry) {
    std::string_view path(entry.path);
    auto old = std::lower_bound(
        old_.begin(), old_.end(), path,
        [](const OldRecord& record, std::string_view wanted) { return record.path < wanted; });
    if (old == old_.end() || old->path != path) {
        added_.push_back({std::string(path), newOrder_++, entry.flags});
        return;
    }
    // The whole fields, as the kernel compares them: a fingerprint written with trailing
    // zeros is the same one.
    old->listedInNew = true;
    old->newFlags = entry.flags;
    old->changed = std::memcmp(old->type, entry.fingerprintType, sizeof old->type) != 0 ||
                   std::memcmp(old->fingerprint, entry.fingerprint, sizeof old->fingerprint) != 0;
}

void ManifestComparison::FinishNew() {
    SortKeepingLaterLines(added_);
    newEntries_ = added_.size() + static_cast<std::size_t>(std::count_if(
                                      old_.begin(), old_.end(),
                                      [](const OldRecord& record) { return record.listedInNew; }));
}

void ManifestComparison::ForEachDifference(
    const std::function<void(const Difference&)>& visit) const {
    auto added = added_.begin();
    for (auto old = old_.begin();; ++old) {
        for (; added != added_.end() && (old == old_.end() || added->path < old->path); ++added) {
            visit({DifferenceKind::Added, added->path, 0, added->flags});
        }
        if (old == old_.end()) {
            return;
        }
        if (!old->listedInNew) {
            visit({DifferenceKind::Removed, old->path, old->flags, 0});
            continue;
        }
        if (old->changed) {
            visit({DifferenceKind::Changed, old->path, old->flags, old->newFlags});
        }
        if (old->flags != old->newFlags) {
            visit({DifferenceKind::Flags, old->path, old->flags, old->newFlags});
        }
    }
}
