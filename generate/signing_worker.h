// One worker thread of a run: it takes any piece of any job from the run's queue until the
// work is done, with its own libmagic handle and its own digester, and keeps the totals of
// what it did.
#pragma once

#include <cstdint>
#include <string>

#include "generate/digest.h"
#include "generate/magic_classifier.h"

class RunContext;

class SigningWorker {
  public:
    SigningWorker(RunContext& run, int32_t index) : run_(run), index_(index) {}

    // The thread's body: runs pieces until none is left or the run has failed.
    void Run();

    int32_t Index() const { return index_; }
    RunContext& Context() { return run_; }
    // The libmagic description of the file at `hostPath`; false once the run has failed
    // because libmagic could not give one.
    bool Describe(const std::string& hostPath, std::string& description);
    // The digest of the file at `hostPath`.
    DigestResult Hash(const std::string& hostPath) { return digester_.Hash(hostPath); }

  private:
    RunContext& run_;
    const int32_t index_;
    MagicClassifier classifier_;
    bool classifierOpen_ = false;
    uint32_t descriptions_ = 0;
    FileDigester digester_;
};
