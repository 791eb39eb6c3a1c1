#include "engine/cache_notes.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <optional>
#include <tuple>

#include "manifest/format.h"

namespace {

// Paths are packed in blocks of this size; one that fits a manifest is far shorter.
constexpr size_t PathBlockSize = 64 * 1024;

// Adds to `into`, a record of the same state of the same file, what `other` knows and it does
// not: two workers may each have learnt part of it, as a queued file and in a walk.
void Complete(CacheRecord& into, const CacheRecord& other) {
    if (other.described && !into.described) {
        into.described = true;
        into.description = other.description;
    }
    if (other.hashed && !into.hashed) {
        into.hashed = true;
        into.digest = other.digest;
    }
}

}  // namespace

bool CacheNotes::Reused(size_t position, Use use) {
    // A walk describes a file, then hashes it: one entry tells of both.
    if (!reused_.empty() && reused_.back().position == position) {
        reused_.back().uses |= use;
        return false;
    }
    reused_.push_back({static_cast<uint32_t>(position), use});
    return true;
}

void CacheNotes::Described(const std::string& path, const FileIdentity& identity,
                           const std::string& description) {
    if (Note* note = NoteFor(path, identity)) {
        note->description = &*descriptions_.insert(description).first;
    }
}

void CacheNotes::Hashed(const std::string& path, const FileIdentity& identity,
                        const uint8_t* digest) {
    if (Note* note = NoteFor(path, identity)) {
        note->digest = &digests_.emplace_back();
        std::copy(digest, digest + digests_.back().size(), digests_.back().begin());
    }
}

CacheNotes::Note* CacheNotes::NoteFor(const std::string& path, const FileIdentity& identity) {
    if (!PathFitsManifest(path)) {
        return nullptr;
    }
    // A walk describes a file, then hashes it: one note tells of both.
    if (!notes_.empty() && notes_.back().path == path) {
        if (notes_.back().identity != identity) {
            notes_.back() = {notes_.back().path, identity};
        }
        return &notes_.back();
    }
    if (path.size() > blockLeft_) {
        pathBlocks_.push_back(std::make_unique<char[]>(PathBlockSize));
        blockLeft_ = PathBlockSize;
    }
    char* kept = pathBlocks_.back().get() + PathBlockSize - blockLeft_;
    std::memcpy(kept, path.data(), path.size());
    blockLeft_ -= path.size();
    notes_.push_back({{kept, path.size()}, identity});
    return &notes_.back();
}

CacheRecord CacheNotes::Note::Record() const {
    return {path,
            identity,
            description != nullptr,
            description != nullptr ? std::string_view(*description) : std::string_view(),
            digest != nullptr,
            digest != nullptr ? digest->data() : nullptr};
}

const CacheNotes::Note* CacheNotes::Sealed(size_t index) const {
    return index < order_.size() ? &notes_[order_[index]] : nullptr;
}

void CacheNotes::Seal() {
    order_.resize(notes_.size());
    std::iota(order_.begin(), order_.end(), 0);
    // The notes of a path in the order they were taken, so that a later state replaces an
    // earlier one.
    std::sort(order_.begin(), order_.end(), [this](uint32_t left, uint32_t right) {
        return std::tie(notes_[left].path, left) < std::tie(notes_[right].path, right);
    });
    size_t kept = 0;
    for (uint32_t index : order_) {
        const Note& note = notes_[index];
        if (kept == 0 || notes_[order_[kept - 1]].path != note.path) {
            order_[kept++] = index;
            continue;
        }
        Note& into = notes_[order_[kept - 1]];
        if (into.identity != note.identity) {
            into = note;
        }
        into.description = note.description != nullptr ? note.description : into.description;
        into.digest = note.digest != nullptr ? note.digest : into.digest;
    }
    order_.resize(kept);
}

template <typename Visit>
void NextCache::Merge(Visit visit) const {
    std::vector<size_t> next(notes_.size(), 0);  // each worker's next note in path order
    size_t position = 0;                         // the next record of the cache read
    for (;;) {
        while (position < read_.Size() && uses_[position] == 0) {
            ++position;
        }
        // The least path left, and what the cache read and each worker tell of it.
        std::optional<CacheRecord> known;
        if (position < read_.Size()) {
            known = read_.Record(position);
            known->described = known->described && (uses_[position] & CacheNotes::Description);
            known->hashed = known->hashed && (uses_[position] & CacheNotes::Digest);
        }
        std::optional<std::string_view> path;
        if (known) {
            path = known->path;
        }
        for (size_t worker = 0; worker < notes_.size(); ++worker) {
            const CacheNotes::Note* note = notes_[worker]->Sealed(next[worker]);
            if (note != nullptr && (!path || note->path < *path)) {
                path = note->path;
            }
        }
        if (!path) {
            return;
        }
        std::optional<CacheRecord> record;
        for (size_t worker = 0; worker < notes_.size(); ++worker) {
            const CacheNotes::Note* note = notes_[worker]->Sealed(next[worker]);
            if (note == nullptr || note->path != *path) {
                continue;
            }
            ++next[worker];
            if (!record) {
                record = note->Record();
            } else if (note->identity == record->identity) {
                Complete(*record, note->Record());
            }
        }
        bool reused = false;
        if (known && known->path == *path) {
            record = record.value_or(*known);
            reused = known->identity == record->identity;
            if (reused) {
                Complete(*record, *known);
            }
            ++position;
        }
        visit(*record, reused);
    }
}

NextCache::NextCache(const FileCache& read, const std::vector<CacheNotes*>& notes)
    : read_(read), notes_(notes), uses_(read.Size()) {
    for (CacheNotes* worker : notes_) {
        worker->Seal();
        for (CacheNotes::Reuse reuse : worker->reused_) {
            uses_[reuse.position] |= reuse.uses;
        }
        std::vector<CacheNotes::Reuse>().swap(worker->reused_);
    }
    Merge([this](const CacheRecord&, bool reused) {
        ++size_;
        reused_ += reused ? 1 : 0;
    });
}

int NextCache::Write(const std::string& magicIdentity, const CacheWriter::Sink& sink) const {
    CacheWriter writer(sink, magicIdentity, size_);
    Merge([&writer](const CacheRecord& record, bool) { writer.Add(record); });
    return writer.Finish();
}
