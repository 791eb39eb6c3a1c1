// Helpers shared by the tests: running the built programs and capturing what they print,
// and a fixture that gives each test its own temporary directory and emulated facility.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

struct ProcessResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// What a child's standard output or error is connected to.
enum class ChildStream {
    Captured,    // a pipe that RunProcess reads into ProcessResult
    Closed,      // no descriptor at all
    BrokenPipe,  // a pipe whose reading end is closed: every write fails
};

struct ProcessOptions {
    uid_t user = static_cast<uid_t>(-1);  // run as this user when set
    // Run in a private mount namespace in which every built-in signing directory is empty
    // but for the few files the program needs to start, so that a generate run walks only
    // what the test gives it instead of the whole host.
    bool hideSystemDirectories = false;
    // With hideSystemDirectories: built-in directories shown with a test directory's content.
    std::map<std::string, std::string> replacedDirectories;
    std::vector<std::string> environment;  // NAME=value entries added for the child
    rlim_t maxProcesses = RLIM_INFINITY;   // RLIMIT_NPROC of the child
    rlimit openFiles{0, 0};                // RLIMIT_NOFILE of the child, when rlim_max is set
    ChildStream standardOutput = ChildStream::Captured;
    ChildStream standardError = ChildStream::Captured;
};

// A user id that owns no file and runs no process on the host, for tests that need a
// permission refused (the suite runs as root).
inline constexpr uid_t UnprivilegedUser = 61234;

// Options for a generate run over the test's own files only.
ProcessOptions HiddenSystem();

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});
// Runs pelmor-sign or veriexec-emulator with the given arguments.
ProcessResult RunSign(const std::vector<std::string>& arguments,
                      const ProcessOptions& options = {});
ProcessResult RunEmulator(const std::vector<std::string>& arguments);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content, mode_t mode = 0644);

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
