#include "veriexec/loader.h"

#include <fmt/core.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "support/test_support.h"

const std::string Digits128 = fmt::format("{0}{0}{0}{0}{0}{0}{0}{0}", "0123456789abcdef");

class LoadTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        BootFacility();
    }
    ProcessResult Load(const std::string& manifest) {
        WriteFile(Path("manifest"), manifest);
        return RunSign({"load", Path("manifest")});
    }
    std::string Summary(int loaded, int errors) {
        return fmt::format("Loaded {} entries ({} errors) from {}\n", loaded, errors,
                           Path("manifest"));
    }
    // The `show` line of an entry: the fingerprint field holds the digits sent, then zeros.
    static std::string EntryLine(const char* flags, const std::string& digits,
                                 const std::string& path) {
        return std::string("entry\t") + flags + "\tsha512\t" + digits +
               std::string(128 - digits.size(), '0') + "\t" + path + "\n";
    }
};

TEST_F(LoadTest, EntryLinesAreSentWithFlagsAndBadLinesOfAnyLengthWarnedByNumberInBoundedMemory) {
    std::string tool = Path("tool"), data = Path("data");
    Shell("echo data >data && touch tool && chmod 755 tool && install -m 610 tool tool-new");
    // Leading slashes make the longest path that the record holds, naming the test's directory.
    std::string longest = std::string(1023 - dir_.size(), '/') + dir_;
    std::string manifest, err = "pelmor-sign: line 1: bad format\n";
    int number = 1;
    for (const auto& [line, warnings] :
         {std::pair<std::string, std::vector<std::string>>{"# comment", {}},
          {tool + " sha512=" + Digits128, {}},
          {data + " sha512=0123456789ABCDEF no_ptrace trusted no_ptrace", {}},
          {longest + " sha512=ff", {}},
          {tool, {"bad format"}},
          {tool + "\tsha512=00", {"bad format"}},
          // The kernel would read the path up to the NUL: another file than the line names.
          {tool + std::string("\0x sha512=00", 12), {"bad format"}},
          {tool + " sha512", {"missing '=' in attribute"}},
          {tool + " sha512=" + Digits128 + "00", {"bad fingerprint"}},
          {tool + " sha512=abc", {"bad fingerprint"}},
          {tool + " sha512=+f", {"bad fingerprint"}},
          {tool + " sha512=" + Digits128 + "\r", {"bad fingerprint"}},
          {tool + " sha512=zz Trusted\tx",
           {"ignoring unknown flag 'Trusted'", "ignoring unknown flag 'x'", "bad fingerprint"}},
          {"/" + std::string(1023, 'p') + " sha512=00 odd",
           {"ignoring unknown flag 'odd'", "path too long"}},
          {tool + "-new sha512= indirect fast\r", {"ignoring unknown flag 'fast'"}},
          // Past its first 64 KiB a line is skipped, yet it gets the message of the whole line;
          // one that would load is refused, since its last flags are unread.
          {std::string(70000, 'p') + " sha512=00", {"path too long"}},
          {tool + std::string(70000, 'x') + std::string("\0 a=0", 5), {"bad format"}},
          {tool + " " + std::string(70000, 'x'), {"missing '=' in attribute"}},
          {tool + " sha512=" + std::string(70000, '0'), {"bad fingerprint"}},
          {tool + " sha512=00 " + std::string(70000, 'x'), {"line too long"}}}) {
        manifest += line + "\n";
        ++number;
        for (const std::string& warning : warnings) {
            err += fmt::format("pelmor-sign: line {}: {}\n", number, warning);
        }
    }
    // After a first line of 128 MiB, mostly a hole that reads as NUL bytes: a load with 32 MiB to
    // spare reads on past it.
    Shell("printf / >manifest && truncate -s 128M manifest && echo >>manifest");
    std::ofstream(Path("manifest"), std::ios::app) << manifest;
    ChildOptions limited;
    limited.addressSpaceGrowth = 32 << 20;
    EXPECT_EQ(RunSignChild({"load", Path("manifest")}, limited),
              (ProcessResult{1, Summary(4, 16), err}));
    EXPECT_EQ(Entries(),
              EntryLine("0x00", "ff", longest) + EntryLine("0x0e", "0123456789abcdef", data) +
                  EntryLine("0x00", Digits128, tool) + EntryLine("0x01", "", tool + "-new"));
}

TEST_F(LoadTest, KernelRefusalsAreCountedAndEveryOtherEntryLoadsUntilTheFacilityIsLocked) {
    // f2 is missing; the kernel takes no md5 fingerprint.
    Shell("touch f1 f3 f4 && chmod 755 f1 f3 f4");
    const std::string cannot = "pelmor-sign: cannot load " + dir_,
                      loaded =
                          EntryLine("0x00", "01", Path("f1")) + EntryLine("0x00", "01", Path("f4"));
    EXPECT_EQ(Load(fmt::format(
                  "{0}/f1 sha512=01\n{0}/f2 sha512=01\n{0}/f3 md5=01\n{0}/f4 sha512=01\n", dir_)),
              (ProcessResult{1, Summary(2, 2),
                             cannot + "/f2: No such file or directory\n" + cannot +
                                 "/f3: Invalid argument\n"}));
    EXPECT_EQ(Entries(), loaded);
    ASSERT_EQ(RunEmulator({"set-state", "0x9"}).status, 0);
    EXPECT_EQ(Load(Path("f1") + " sha512=02\n"),
              (ProcessResult{1, Summary(0, 1), cannot + "/f1: Operation not permitted\n"}));
    EXPECT_EQ(Entries(), loaded);
}

TEST_F(LoadTest, UnusableDeviceOrManifestStopsWithoutASummaryAndAnEmptyOneLoadsNothing) {
    EXPECT_EQ(Load("").out, Summary(0, 0));
    for (const auto& [change, manifest, out, err] :
         {std::tuple<std::string, std::string, std::string, std::string>{
              "device present", dir_, "Loaded 0 entries (1 errors) from " + dir_ + "\n",
              "pelmor-sign: cannot read manifest " + dir_ + ": Is a directory\n"},
          {"device present", "", "", "pelmor-sign: cannot open manifest \n"},
          {"device absent", Path("missing"), "",
           "pelmor-sign: cannot open /dev/veriexec: No such file or directory\n"},
          // With the device still absent: the modules are checked first.
          {"kldunload mac_veriexec_sha512.ko", Path("missing"), "",
           "Error: required kernel module 'mac_veriexec_sha512.ko' is not loaded\n"}}) {
        ASSERT_EQ(RunEmulator(Words(change)).status, 0);
        EXPECT_EQ(RunSign({"load", manifest}), (ProcessResult{1, out, err}));
    }
}

// An enforce that comes between two entries of one load, set by the facility right after the
// third entry loaded, stops a load that the enforce rules refuse at the next entry: an unsigned
// one, and one signed with another key than the installed one. Each says what it loaded and gives
// the refusal, to the audit log too. One signed with the installed key, held against the
// installed record, loads whole: enforce changes nothing for it. The program is trusted, as
// pelmor-sign is on a host, so the facility itself refuses nothing.
TEST_F(LoadTest, AnEnforceBetweenTwoEntriesStopsALoadThatEnforceRefusesAtTheNextEntry) {
    MakeKeyPair(Path("trusted"));
    MakeKeyPair(Path("other"));
    std::string lines;
    for (int i = 0; i < 10; ++i) {
        WriteFile(Path(fmt::format("f{}", i)), "", 0755);
        lines += ManifestLine(Path(fmt::format("f{}", i)), "/dev/null");
    }
    WriteFile(SerialFile, "1\n");
    for (const auto& [key, loaded, err] :
         {std::tuple<std::string, size_t, std::string>{
              "", 3, ": only a signed manifest can be loaded (use --key)"},
          {"other", 3, ": only the key " + Path("trusted.pub") + " is accepted"},
          {"trusted", 10, ""}}) {
        BootFacility();
        ASSERT_EQ(Load(TrustedProgramLine()).status, 0);
        ASSERT_EQ(RunEmulator({"enforce-after", "3"}).status, 0);
        WriteFile(Path("manifest"), lines);
        ASSERT_TRUE(key.empty() ||
                    RunSign(Words("sign -k " + key + ".key --serial 1 manifest")).status == 0);
        CollectedAudit audit;
        ProcessResult result = RunSign(
            Words("load " + (key.empty() ? "" : "--key " + key + ".pub ") + Path("manifest")),
            &audit);
        EXPECT_EQ(WithoutOut(result),
                  err.empty() ? Succeeded("") : Failed("Error: veriexec is enforcing" + err + "\n"))
            << key;
        EXPECT_EQ(Lines(result.out).back(), Summary(loaded, 0)) << key;
        EXPECT_EQ(Lines(RunEmulator({"show"}).out).front(), "state 0x07\n");
        // The program's own entry and those loaded.
        EXPECT_EQ(Lines(Entries()).size(), 1 + loaded) << key;
        // Audited as well: the refusal, then what was sent.
        ASSERT_EQ(audit.lines.size(), err.empty() ? 1u : 2u) << key;
        EXPECT_TRUE(err.empty() ||
                    audit.lines[0].find("refused manifest " + Path("manifest") +
                                        ": veriexec is enforcing" + err) != std::string::npos)
            << audit.lines[0];
        EXPECT_NE(audit.lines.back().find(fmt::format(", {} entries sent, 0 errors", loaded)),
                  std::string::npos)
            << audit.lines.back();
    }
}
