#include "support/generate_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

void GenerateTest::SetUp() {
    TempDirTest::SetUp();
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: generate runs in a private mount namespace that hides the "
                        "host's system directories";
    }
    BootFacility();
}

ProcessResult GenerateTest::Generate(const std::vector<std::string>& arguments,
                                     ProcessOptions options) {
    std::vector<std::string> all{"generate"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    ProcessResult result = RunSign(all, options);
    EXPECT_NE(result.status, 125) << "cannot make a private mount namespace";
    return result;
}

void GenerateTest::MakeElf(const std::string& path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::filesystem::copy_file("/bin/true", path,
                               std::filesystem::copy_options::overwrite_existing);
    chmod(path.c_str(), 0755);
}

void GenerateTest::MakeScript(const std::string& path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    WriteFile(path, "#!/bin/sh\necho " + path + "\n", 0755);
}

void GenerateTest::MakeText(const std::string& path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    WriteFile(path, "Nothing to execute here, only some words.\n", 0644);
}

std::string ExpectedLine(const std::string& path) {
    ProcessResult sum = RunProcess({"/usr/bin/sha512sum", path});
    EXPECT_EQ(sum.status, 0) << sum.err;
    return path + " sha512=" + sum.out.substr(0, 128) + "\n";
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line + "\n");
    }
    return lines;
}

std::vector<std::string> LinesUnder(const std::string& text, const std::string& prefix) {
    std::vector<std::string> lines;
    for (const std::string& line : Lines(text)) {
        if (line.rfind(prefix, 0) == 0) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::string ProgressLine(const std::string& out, const std::string& job) {
    for (const std::string& line : Lines(out)) {
        if (line.front() == '[' && line.size() > job.size() + 5 &&
            line.compare(line.size() - job.size() - 5, std::string::npos, "OK: " + job + "\n") ==
                0) {
            return line;
        }
    }
    return "";
}

std::vector<std::string> Sorted(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}
