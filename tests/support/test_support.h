// What the tests share: each test's own directory, emulated facility and, for generate and
// check, system image; the program run in this process, or in a forked child (never an
// executed program) for other users, limits and broken standard streams.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "veriexec/audit_log.h"

struct ProcessResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
    bool operator==(const ProcessResult& other) const {
        return status == other.status && out == other.out && err == other.err;
    }
};
// How a failed expectation shows a result.
void PrintTo(const ProcessResult& result, std::ostream* stream);
// A command that succeeds, printing `out` alone; one that fails, printing `err` alone.
inline const auto Succeeded = [](const std::string& out) { return ProcessResult{0, out, ""}; };
inline const auto Failed = [](const std::string& err) { return ProcessResult{1, "", err}; };
// A check that could not be made, printing `err` alone.
inline const auto Troubled = [](const std::string& err) { return ProcessResult{2, "", err}; };
// The result without its standard output, for a test that checks that apart.
inline const auto WithoutOut = [](ProcessResult r) { return ProcessResult{r.status, "", r.err}; };

enum class ChildStream { Captured, Closed, BrokenPipe };

struct ChildOptions {
    bool unprivileged = false;            // as UnprivilegedUser when the suite runs as root
    uid_t user = static_cast<uid_t>(-1);  // or as this user (root only)
    rlim_t maxProcesses = RLIM_INFINITY;  // RLIMIT_NPROC
    rlim_t maxFileSize = RLIM_INFINITY;   // RLIMIT_FSIZE: a larger write fails, as on a full disk
    rlim_t addressSpaceGrowth = RLIM_INFINITY;  // RLIMIT_AS, beyond what the child has mapped
    ChildStream standardOutput = ChildStream::Captured;
    ChildStream standardError = ChildStream::Captured;
};

// A user that owns no file: as root, the tests take it to meet refused permissions.
inline constexpr uid_t UnprivilegedUser = 61234;
inline const ChildOptions Unprivileged{true};

// The key that pelmor-sign, as the tests run it, takes under enforce: trusted.pub in the
// current directory, the test's own.
inline constexpr const char* TrustedKeyFile = "trusted.pub";
// And its serial file, the default of --serial-file: serial in the current directory.
inline constexpr const char* SerialFile = "serial";
// And its keys file, the default of --keys: keys in the current directory.
inline constexpr const char* KeysFileName = "keys";
// And the boot script's manifest, which keys install checks by default: manifest in it.
inline constexpr const char* ManifestFileName = "manifest";

// The audit lines of the commands run with it, each after the severity it is logged with.
struct CollectedAudit : AuditLog {
    std::vector<std::string> lines;
    void Write(AuditKind kind, const std::string& line) override {
        lines.push_back((kind == AuditKind::Refusal ? "warning: " : "notice: ") + line);
    }
};

// pelmor-sign with these arguments, in this process, its output captured; `audit`, when
// given, takes its audit lines.
ProcessResult RunSign(const std::vector<std::string>& arguments, AuditLog* audit = nullptr);
// pelmor-sign in a forked child, which reaches the code wherever the checkout lies.
ProcessResult RunSignChild(const std::vector<std::string>& arguments, const ChildOptions& options);
// Starts it in a child without waiting; what it prints goes to the file at `output`.
pid_t StartSignChild(const std::vector<std::string>& arguments, const std::string& output);
int WaitForExit(pid_t child);
ProcessResult RunEmulator(const std::vector<std::string>& arguments);
// A program of the host, such as sha512sum.
ProcessResult RunProgram(std::vector<std::string> argv);
// A command line of the shell, which must succeed; what it printed.
std::string Shell(const std::string& command);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content, mode_t mode = 0644);
std::vector<std::string> Lines(const std::string& text);
std::vector<std::string> Words(const std::string& text);
std::vector<std::string> Sorted(std::vector<std::string> lines);
// The manifest line for the file at `hostPath`, named `path`, with coreutils' digest.
std::string ManifestLine(const std::string& path, const std::string& hostPath);
// A key pair made by openssl genpkey with these options: PREFIX.key, mode 0400, and
// PREFIX.pub; returns the key's id, the first 16 hex digits of SHA-256 over its public DER.
std::string MakeKeyPair(const std::string& prefix,
                        const std::string& options = "-algorithm ed25519");
// The full id of the public key PREFIX.pub: all 64 hex digits of SHA-256 over its DER, as
// openssl and sha256sum print them.
std::string FullKeyId(const std::string& prefix);
// The line of a keys file that lists PREFIX.pub, as openssl and sha256sum print its DER and
// digest, without its line feed.
std::string KeyLine(const std::string& prefix);
// The line that makes the running test program trusted: under enforce, the facility takes
// requests other than the state query only from a trusted program.
std::string TrustedProgramLine();

// A fresh directory of its own (also the current one), with PELMOR_VERIEXEC_EMULATOR pointing
// at a private facility inside it.
class TempDirTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    void BootFacility(std::vector<std::string> extra = {});
    // The entry lines of the emulator's `show` output.
    std::string Entries();

    std::string dir_;

  private:
    std::string previousDirectory_;
};

// Runs over a system image of the test's own, image/, walked with -R so that the host's system
// directories never are.
class ImageTest : public TempDirTest {
  protected:
    void SetUp() override;
    std::string Image(const std::string& path) const { return root_ + path; }
    // generate -R IMAGE with these arguments, in this process.
    ProcessResult Generate(std::vector<std::string> arguments);
    template <typename... Paths>
    void MakeElf(const Paths&... paths) {
        (WriteFile(Image(paths), ReadFile("/bin/true"), 0755), ...);
    }
    void MakeScript(const std::string& path) {
        WriteFile(Image(path), "#!/bin/sh\necho " + path + "\n", 0755);
    }
    void MakeText(const std::string& path) {
        WriteFile(Image(path), "Nothing to execute here, only some words.\n", 0644);
    }
    std::string ExpectedLine(const std::string& path) const {
        return ManifestLine(path, Image(path));
    }

    std::string root_;
};
