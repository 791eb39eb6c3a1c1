#include "diff/compare.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "common/normal_path.h"

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

// The record of `path` in records sorted by path, or nullptr.
template <typename Records>
auto Listed(Records& records, std::string_view path) -> decltype(&records.front()) {
    auto found = std::lower_bound(
        records.begin(), records.end(), path,
        [](const auto& record, std::string_view wanted) { return record.path < wanted; });
    return found != records.end() && found->path == path ? &*found : nullptr;
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
    OldRecord* old = Listed(old_, path);
    if (old == nullptr) {
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
    // Two paths share a normal form only when one of them is not normal: the others are
    // grouped under theirs, with the normal path itself when a manifest lists it.
    auto group = [this](const std::string& path) {
        if (!IsNormalPath(path)) {
            alike_[NormalPath(path)].push_back(path);
        }
    };
    for (const OldRecord& record : old_) {
        group(record.path);
    }
    for (const AddedRecord& record : added_) {
        group(record.path);
    }
    for (auto form = alike_.begin(); form != alike_.end();) {
        std::vector<std::string_view>& paths = form->second;
        if (const OldRecord* old = Listed(old_, form->first)) {
            paths.push_back(old->path);
        } else if (const AddedRecord* added = Listed(added_, form->first)) {
            paths.push_back(added->path);
        }
        std::sort(paths.begin(), paths.end());
        form = paths.size() < 2 ? alike_.erase(form) : std::next(form);
    }
}

const std::vector<std::string_view>* ManifestComparison::Alike(std::string_view path) const {
    if (alike_.empty()) {
        return nullptr;
    }
    auto form = IsNormalPath(path) ? alike_.find(path) : alike_.find(NormalPath(std::string(path)));
    return form == alike_.end() ? nullptr : &form->second;
}

void ManifestComparison::ForEachDifference(
    const std::function<void(const Difference&)>& visit) const {
    auto added = added_.begin();
    for (auto old = old_.begin();; ++old) {
        for (; added != added_.end() && (old == old_.end() || added->path < old->path); ++added) {
            visit({DifferenceKind::Added, added->path, 0, added->flags, Alike(added->path)});
        }
        if (old == old_.end()) {
            return;
        }
        if (!old->listedInNew) {
            visit({DifferenceKind::Removed, old->path, old->flags, 0, Alike(old->path)});
            continue;
        }
        if (old->changed) {
            visit(
                {DifferenceKind::Changed, old->path, old->flags, old->newFlags, Alike(old->path)});
        }
        if (old->flags != old->newFlags) {
            visit({DifferenceKind::Flags, old->path, old->flags, old->newFlags, Alike(old->path)});
        }
    }
}
