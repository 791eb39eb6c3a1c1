// One worker thread of a run: it takes any piece of any job from the run's queue until the
// work is done, with its own libmagic handle and its own digester, and keeps the totals of
// what it did.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "engine/cache_notes.h"
#include "engine/digest.h"
#include "engine/magic_classifier.h"

class RunContext;

class SigningWorker {
  public:
    SigningWorker(RunContext& run, int32_t index) : run_(run), index_(index) {}

    // The thread's body: runs pieces until none is left or the run has failed.
    void Run();

    int32_t Index() const { return index_; }
    // Whether the cache serves `use` for the regular file named `path` in the manifest, whose
    // status is `status`: its record has that status and holds it. Such a file need not be
    // opened for it.
    bool Cached(const std::string& path, const struct stat& status, CacheNotes::Use use);
    // The libmagic description of the regular file open at `fd`, whose status is `status`,
    // found at `hostPath` and named `path` in the manifest; from the cache when its status is
    // the one recorded (then `fd` may be -1). false once the run has failed because libmagic
    // could not give one.
    bool Describe(const std::string& path, const std::string& hostPath, int fd,
                  const struct stat& status, std::string& description);
    // The SHA-512 digest of the file open at `fd`, likewise; from the cache when its status is
    // the one recorded (then `fd` may be -1).
    DigestResult Hash(const std::string& path, const std::string& hostPath, int fd,
                      const struct stat& status);
    // The same for the file at `hostPath`, a link followed; opened only when the cache does
    // not serve its status.
    DigestResult Hash(const std::string& path, const std::string& hostPath);

    // What this worker did, for the cache: how many files it described and hashed itself, how
    // many regular files its cache served without their being opened, and its notes for the
    // next cache.
    uint32_t Described() const { return descriptions_; }
    uint32_t Hashed() const { return hashed_; }
    uint32_t Unopened() const { return unopened_; }
    // Counts a file that was judged and signed by its status alone.
    void CountUnopened() { ++unopened_; }
    CacheNotes& Notes() { return notes_; }

  private:
    // The cache's record of `path`, and its position; the walk asks for one path a few times
    // in a row.
    CacheRecord Known(const std::string& path, size_t& position);

    RunContext& run_;
    const int32_t index_;
    MagicClassifier classifier_;
    bool classifierOpen_ = false;
    uint32_t descriptions_ = 0;
    uint32_t hashed_ = 0;
    uint32_t unopened_ = 0;
    FileDigester digester_;
    CacheNotes notes_;
    std::string knownPath_;
    CacheRecord known_;
    size_t knownPosition_ = 0;
};
