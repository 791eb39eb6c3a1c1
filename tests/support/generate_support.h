// What the generate tests share: a fixture that runs generate over the test's own files
// only, trees of real executables and scripts, and readers for the run's output.
#pragma once

#include <string>
#include <vector>

#include "support/test_support.h"

class GenerateTest : public TempDirTest {
  protected:
    void SetUp() override;
    // Runs `pelmor-sign generate` with the built-in directories hidden.
    ProcessResult Generate(const std::vector<std::string>& arguments,
                           ProcessOptions options = HiddenSystem());
    // A copy of an ELF executable, a POSIX shell script, a plain text file.
    void MakeElf(const std::string& path);
    void MakeScript(const std::string& path);
    void MakeText(const std::string& path);
};

// The line generate must write for `path`, with the digest taken by coreutils.
std::string ExpectedLine(const std::string& path);

std::vector<std::string> Lines(const std::string& text);
// The manifest lines of `text` whose path starts with `prefix`, in order.
std::vector<std::string> LinesUnder(const std::string& text, const std::string& prefix);
// The progress line printed for job `job`, or "" when there is none.
std::string ProgressLine(const std::string& out, const std::string& job);
std::vector<std::string> Sorted(std::vector<std::string> lines);
