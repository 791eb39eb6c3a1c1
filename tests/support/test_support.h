// What the tests share: each test's own temporary directory and emulated facility, the program
// run in this process or in a child of it (for other users, limits and broken standard
// streams), and readers for what it prints.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

struct ProcessResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// What a child's standard output or error is connected to.
enum class ChildStream {
    Captured,    // a pipe that is read into ProcessResult
    Closed,      // no descriptor at all
    BrokenPipe,  // a pipe whose reading end is closed: every write fails
};

struct ChildOptions {
    bool unprivileged = false;            // run as UnprivilegedUser when the suite runs as root
    uid_t user = static_cast<uid_t>(-1);  // or as this user (root only)
    rlim_t maxProcesses = RLIM_INFINITY;  // RLIMIT_NPROC of the child
    rlim_t maxFileSize = RLIM_INFINITY;   // RLIMIT_FSIZE: a larger write fails, as on a full disk
    ChildStream standardOutput = ChildStream::Captured;
    ChildStream standardError = ChildStream::Captured;
};

// A user id that owns no file and runs no process on the host: as root, the tests take it to
// meet refused permissions.
inline constexpr uid_t UnprivilegedUser = 61234;

// pelmor-sign with these arguments, run in this process with its output captured.
ProcessResult RunSign(const std::vector<std::string>& arguments);
// pelmor-sign run in a child of this process: no program is executed, so the child reaches
// the code wherever the checkout lies and whatever user it runs as.
ProcessResult RunSignChild(const std::vector<std::string>& arguments, const ChildOptions& options);
// Starts pelmor-sign in a child of this process without waiting for it; what it prints goes to
// the file at `output`.
pid_t StartSignChild(const std::vector<std::string>& arguments, const std::string& output);
// veriexec-emulator with these arguments, run in this process.
ProcessResult RunEmulator(const std::vector<std::string>& arguments);
// Executes a program of the host, such as sha512sum or sh.
ProcessResult RunProgram(const std::vector<std::string>& argv);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content, mode_t mode = 0644);
std::vector<std::string> Lines(const std::string& text);
// The line generate writes for the file at `hostPath`, named `path`, with the digest of
// coreutils' sha512sum.
std::string ManifestLine(const std::string& path, const std::string& hostPath);

// Each test runs in a fresh directory of its own (also the current directory), with
// PELMOR_VERIEXEC_EMULATOR pointing at a private facility inside it.
class TempDirTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    // Boots the private facility, failing the test if that does not work.
    void BootFacility(const std::vector<std::string>& extra = {});
    // The emulator's `show` output.
    std::string Show();

    std::string dir_;
    std::string facility_;

  private:
    std::string previousDirectory_;
};

// A test whose runs sign a system image of its own, image/ in its directory: generate and
// check walk it with -R, so that they never walk the host's system directories.
class ImageTest : public TempDirTest {
  protected:
    void SetUp() override;
    // Where a path of the image lies.
    std::string Image(const std::string& path) const { return root_ + path; }
    // generate -R IMAGE with these arguments, in this process.
    ProcessResult Generate(const std::vector<std::string>& arguments);
    // Files of the image: a copy of an ELF executable, a POSIX shell script, plain text.
    void MakeElf(const std::string& path);
    void MakeScript(const std::string& path);
    void MakeText(const std::string& path);
    // The manifest line of an image file.
    std::string ExpectedLine(const std::string& path) const {
        return ManifestLine(path, Image(path));
    }

    std::string root_;
};
