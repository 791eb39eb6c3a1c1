#include "check/run.h"

#include <fmt/core.h>
#include <sys/stat.h>

#include <iostream>

#include "engine/digest.h"
#include "engine/signing_worker.h"
#include "generate/job_list.h"
#include "manifest/format.h"
#include "manifest/reader.h"
#include "manifest/signed_manifest.h"

CheckRun::CheckRun(const CheckSettings& settings)
    : settings_(settings), context_(settings.walk.root, settings.walk.progress) {}

bool CheckRun::ReadManifest() {
    ManifestReader manifest;
    VerifiedManifest verified;
    if (!settings_.signature.keyPath.empty()) {
        std::string error =
            ReadVerifiedManifest(settings_.manifestPath, settings_.signature, verified);
        if (!error.empty()) {
            std::cerr << error;
            return false;
        }
        if (settings_.format == OutputFormat::Text) {
            std::cout << VerifiedLine(settings_.manifestPath, verified);
        }
        std::cerr << verified.warning;
        summary_.serial = verified.serial;
        summary_.keyId = verified.signer.key->Id();
        manifest.Use(settings_.manifestPath, verified.bytes);
    } else if (!manifest.Open(settings_.manifestPath)) {
        return false;
    }
    for (ManifestEntry record; manifest.NextEntry(record, manifestErrors_);) {
        entries_.push_back({record.path, record.fingerprintType,
                            EncodeHex(record.fingerprint, FingerprintSize),
                            CheckedEntry::Outcome::Unchanged, ""});
        listed_.insert(record.path);
    }
    return !manifest.ReadFailed();
}

void CheckRun::Verify(SigningWorker& worker, CheckedEntry& entry) const {
    using Outcome = CheckedEntry::Outcome;
    const char* algorithm = DigestOfFingerprintType(entry.type);
    if (algorithm == nullptr) {
        entry.outcome = Outcome::Unreadable;
        entry.cause = fmt::format("unknown fingerprint type '{}'", entry.type);
        return;
    }
    std::string hostPath;
    if (int error = context_.root.Resolve(entry.path, hostPath); error != 0) {
        entry.outcome = Outcome::Unreadable;
        entry.cause = std::generic_category().message(error);
        return;
    }
    DigestResult digest;
    if (entry.type == "sha512") {
        digest = worker.Hash(entry.path, hostPath);
    } else {
        FileDigester other(algorithm);
        other.CountInto(context_.progress.counts);
        digest = other.Hash(hostPath);
    }
    if (digest.status != 0) {
        entry.outcome = digest.missing ? Outcome::Missing : Outcome::Unreadable;
        entry.cause = digest.cause;
        return;
    }
    // The field holds the fingerprint, then zeros to its end.
    bool same = entry.fingerprint.compare(0, digest.text.size(), digest.text) == 0 &&
                entry.fingerprint.find_first_not_of('0', digest.text.size()) == std::string::npos;
    entry.outcome = same ? Outcome::Unchanged : Outcome::Changed;
}

bool CheckRun::Sign(SigningWorker&, const ChosenFile& file, std::string& lines) {
    if (!PathFitsManifest(file.path)) {
        context_.Report(UnfitPathLine(file.path));
        return false;
    }
    // Generate would sign what it can hash: a regular file, a link to one.
    if (listed_.count(file.path) != 0 || file.error != 0 || !S_ISREG(file.status.st_mode)) {
        return false;
    }
    lines += file.path;
    lines += '\n';
    return true;
}

std::string CheckRun::Execute() {
    if (!ReadManifest()) {
        return "";
    }
    if (!settings_.walk.cachePath.empty()) {
        if (std::string refusal = context_.UseCache(settings_.walk.cachePath); !refusal.empty()) {
            return refusal;
        }
    }
    for (size_t first = 0; first < entries_.size(); first += SliceSize) {
        size_t last = std::min(first + SliceSize, entries_.size());
        context_.queue.Push([this, first, last](SigningWorker& worker) {
            for (size_t i = first; i < last; ++i) {
                Verify(worker, entries_[i]);
            }
            context_.progress.counts.entries.fetch_add(last - first, std::memory_order_relaxed);
        });
    }
    if (settings_.coverage) {
        // Only the dirs and types of the configuration matter here: any fault is reported.
        Configuration configured;
        if (std::string error = ReadConfiguration(settings_.walk, context_.root, configured);
            !error.empty()) {
            context_.Report(error);
        }
        jobs_ = AssembleJobs(settings_.walk, configured, context_);
        QueueJobs(context_, *this, jobs_);
    }
    RunWorkers(context_, settings_.walk.jobsGiven ? settings_.walk.jobs : 1);
    if (context_.Failed()) {
        return context_.Failure();
    }

    summary_.coverage = settings_.coverage;
    summary_.entries = static_cast<int64_t>(entries_.size());
    int64_t* counts[] = {&summary_.unchanged, &summary_.changed, &summary_.missing,
                         &summary_.unreadable};
    for (const CheckedEntry& entry : entries_) {
        ++*counts[static_cast<int>(entry.outcome)];
    }
    std::vector<std::string_view> unlisted;
    for (const auto& job : jobs_) {
        if (job->finished) {
            unlisted.push_back(job->lines);
            summary_.notInManifest += job->signedCount;
        }
    }
    summary_.badLines = manifestErrors_;
    summary_.errors = manifestErrors_ + context_.ReportedErrors();
    summary_.made = true;
    PrintCheckReport(settings_.format, settings_.manifestPath, summary_, entries_, unlisted);
    return "";
}
