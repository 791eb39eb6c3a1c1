#include <algorithm>
#include <nlohmann/json.hpp>

#include "support/test_support.h"

class QueryTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        BootFacility();
        WriteFile(Path("tool"), "#!/bin/sh\necho tool\n", 0755);
        WriteFile(Path("data"), "some words\n");
        WriteFile(Path("other"), "#!/bin/sh\necho other\n", 0755);
        // tool trusted, data without flags, other never loaded.
        std::string line = ManifestLine(Path("tool"), Path("tool"));
        WriteFile(Path("manifest"), line.insert(line.size() - 1, " trusted") +
                                        ManifestLine(Path("data"), Path("data")));
        ASSERT_EQ(RunSign({"load", Path("manifest")}).status, 0);
    }
};

TEST_F(QueryTest, EachFileGetsOneLineOrJsonObjectAndOneBadFileMakesTheStatusOne) {
    EXPECT_EQ(RunSign({"query", "tool", Path("data")}),
              Succeeded("verified: tool (flags: trusted)\nverified: " + Path("data") + "\n"));
    // Not in the table, changed since its load: each with its reason, the entry's flags kept.
    Shell("echo changed >> tool");
    EXPECT_EQ(RunSign({"query", "data", "tool", "other", "data"}),
              (ProcessResult{1,
                             "verified: data\n"
                             "not verified: tool: fingerprint does not match (flags: trusted)\n"
                             "not verified: other: not in the table\nverified: data\n",
                             ""}));
    // In JSON, on one line, null where the facility tells nothing.
    EXPECT_EQ(
        RunSign({"query", "--format", "json", "data", "tool", "other"}),
        (ProcessResult{1,
                       R"({"files":[{"path":"data","verified":true,"reason":null,"flags":[]},)"
                       R"({"path":"tool","verified":false,"reason":"fingerprint does not match",)"
                       R"("flags":["trusted"]},{"path":"other","verified":false,)"
                       R"("reason":"not in the table","flags":null}]})"
                       "\n",
                       ""}));
}

// A name can neither hide nor add lines: its control bytes are written out, in the answer and
// in the error alike; JSON escapes them its own way.
TEST_F(QueryTest, ControlBytesOfANameAreShownEscaped) {
    std::string name = "evil\x1b[2J\nverified: x";
    WriteFile(Path(name), "");
    std::string shown = "evil\\x1b[2J\\nverified: x";
    EXPECT_EQ(
        RunSign({"query", name, name + "\r"}),
        (ProcessResult{2, "not verified: " + shown + ": not in the table\n",
                       "Error: cannot query " + shown + "\\x0d: No such file or directory\n"}));
    // In JSON as in the text (that names apart in bytes that are not UTF-8 stay apart is the
    // printable path's test, diff's JSON among them).
    EXPECT_EQ(
        nlohmann::json::parse(RunSign({"query", "--format", "json", name}).out)["files"][0]["path"],
        shown);
}

TEST_F(QueryTest, AQuestionThatCannotBeAskedIsStatusTwo) {
    // An unreadable or missing file, as the kernel, which opens it for reading first; the
    // others are answered all the same.
    WriteFile(Path("secret"), "", 0);
    EXPECT_EQ(RunSignChild({"query", "secret", "missing", "other"}, Unprivileged),
              (ProcessResult{2, "not verified: other: not in the table\n",
                             "Error: cannot query secret: Permission denied\n"
                             "Error: cannot query missing: No such file or directory\n"}));
    // A standard output that fails, as for check.
    ChildOptions brokenOutput;
    brokenOutput.standardOutput = ChildStream::BrokenPipe;
    EXPECT_EQ(RunSignChild({"query", "tool"}, brokenOutput),
              (ProcessResult{2, "", "Error: cannot write standard output: Broken pipe\n"}));
    // Without the policy nothing is printed, and no other file is asked about. A module
    // missing, no facility at all.
    for (const auto& [change, arguments, err] :
         std::vector<std::tuple<std::string, std::string, std::string>>{
             {"fail CheckPath ENOSYS", "--format json tool missing",
              "cannot query tool: the mac_veriexec policy is not loaded"},
             {"fail CheckPath EIO", "tool", "cannot query tool: Input/output error"},
             {"kldunload mac_veriexec.ko", "tool",
              "required kernel module 'mac_veriexec.ko' is not loaded"},
             {"shutdown", "tool", "required kernel module 'veriexec.ko' is not loaded"}}) {
        ASSERT_EQ(RunEmulator(Words(change)).status, 0);
        EXPECT_EQ(RunSign(Words("query " + arguments)), Troubled("Error: " + err + "\n"));
    }
}
