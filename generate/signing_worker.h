// One worker thread of a run: it takes any piece of any job from the run's queue until the
// work is done, with its own libmagic handle and its own digester, and keeps the totals of
// what it did.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "generate/cache.h"
#include "generate/digest.h"
#include "generate/magic_classifier.h"

class RunContext;

class SigningWorker {
  public:
    SigningWorker(RunContext& run, int32_t index) : run_(run), index_(index) {}

    // The thread's body: runs pieces until none is left or the run has failed.
    void Run();

    int32_t Index() const { return index_; }
    // The libmagic description of the file at `hostPath`, whose manifest path is `path`; from
    // the cache when `identity` (its status, when known) is the one recorded. false once the
    // run has failed because libmagic could not give one.
    bool Describe(const std::string& path, const std::string& hostPath,
                  const FileIdentity* identity, std::string& description);
    // The SHA-512 digest of the file at `hostPath`, whose manifest path is `path`; from the
    // cache when its status is the one recorded.
    DigestResult Hash(const std::string& path, const std::string& hostPath,
                      const FileIdentity* identity = nullptr);

    // What this worker did, for the cache: the files it described and hashed, and those whose
    // record served instead; and a record for every regular file it looked at.
    struct Noted {
        FileIdentity identity;
        bool described = false;
        std::string description;
        bool hashed = false;
        std::array<uint8_t, 64> digest{};
        bool reused = false;
    };
    uint32_t Described() const { return descriptions_; }
    uint32_t Hashed() const { return hashed_; }
    std::unordered_map<std::string, Noted>& Records() { return records_; }

  private:
    Noted& Note(const std::string& path, const FileIdentity& identity);

    RunContext& run_;
    const int32_t index_;
    MagicClassifier classifier_;
    bool classifierOpen_ = false;
    uint32_t descriptions_ = 0;
    uint32_t hashed_ = 0;
    FileDigester digester_;
    std::unordered_map<std::string, Noted> records_;
};
