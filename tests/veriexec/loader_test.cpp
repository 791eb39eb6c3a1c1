#include "veriexec/loader.h"

#include <fmt/core.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <sstream>

#include "support/test_support.h"

namespace {

// 128 hex digits: a whole SHA-512 fingerprint.
const std::string Hex16 = "0123456789abcdef";
const std::string Digits128 = Hex16 + Hex16 + Hex16 + Hex16 + Hex16 + Hex16 + Hex16 + Hex16;

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

    // The entry lines of `show`, one per loaded path in path order.
    std::string Entries() {
        std::string show = Show();
        return show.substr(std::min(show.find("entry\t"), show.size()));
    }

    // The `show` line of an entry: the fingerprint field holds the sent digits, then zeros.
    static std::string EntryLine(const char* flags, const std::string& digits,
                                 const std::string& path) {
        return std::string("entry\t") + flags + "\tsha512\t" + digits +
               std::string(128 - digits.size(), '0') + "\t" + path + "\n";
    }
};

TEST_F(LoadTest, EntryLinesAreSentWithTheirFlagsAndFingerprints) {
    WriteFile(Path("a-tool"), "#!/bin/sh\n", 0755);
    WriteFile(Path("b-data"), "data\n", 0644);
    WriteFile(Path("c-group"), "#!/bin/sh\n", 0610);
    // Leading slashes make the longest path that the record holds, naming an existing file.
    std::string longest = std::string(1023 - Path("a-tool").size(), '/') + Path("a-tool");
    std::string upper = "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF";
    ProcessResult result =
        Load("# signed by hand\n" + Path("a-tool") + " sha512=" + Digits128 + "\n\n" +
             Path("b-data") + " sha512=" + upper + " no_ptrace trusted no_ptrace\n" +
             Path("c-group") + " sha512= indirect\n" + longest + " sha512=ff");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, Summary(4, 0));
    EXPECT_EQ(Entries(), EntryLine("0x00", "ff", longest) +
                             EntryLine("0x00", Digits128, Path("a-tool")) +
                             EntryLine("0x0e", Digits128.substr(0, 64), Path("b-data")) +
                             EntryLine("0x01", "", Path("c-group")));
}

TEST_F(LoadTest, BadLinesAreWarnedWithTheirNumbersAndTheRestLoads) {
    std::string tool = Path("tool");
    WriteFile(tool, "#!/bin/sh\n", 0755);
    struct Line {
        std::string text;
        std::vector<std::string> warnings;
    } lines[] = {
        {"# comment", {}},
        {"", {}},
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
        {tool + " sha512=ab fast trusted\r", {"ignoring unknown flag 'fast'"}},
    };
    std::string manifest;
    std::string err;
    for (size_t i = 0; i < std::size(lines); ++i) {
        manifest += lines[i].text + "\n";
        for (const std::string& warning : lines[i].warnings) {
            err += fmt::format("pelmor-sign: line {}: {}\n", i + 1, warning);
        }
    }
    ProcessResult result = Load(manifest);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, Summary(1, 10));
    EXPECT_EQ(result.err, err);
    EXPECT_EQ(Entries(), EntryLine("0x08", "ab", tool));
}

TEST_F(LoadTest, KernelRefusalsAreCountedAndEveryOtherEntryLoadsUntilTheFacilityIsLocked) {
    std::string manifest;
    std::string expected;
    for (int i = 10; i < 40; ++i) {
        std::string path = Path("f" + std::to_string(i));
        WriteFile(path, "", 0755);
        manifest += path + (i == 25 ? " md5=01\n" : " sha512=01\n");
        expected += i == 15 || i == 25 ? "" : EntryLine("0x00", "01", path);
    }
    std::remove(Path("f15").c_str());
    ProcessResult result = Load(manifest);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, Summary(28, 2));
    EXPECT_EQ(result.err,
              fmt::format("pelmor-sign: cannot load {0}/f15: No such file or directory\n"
                          "pelmor-sign: cannot load {0}/f25: Invalid argument\n",
                          dir_));
    EXPECT_EQ(Entries(), expected);

    ASSERT_EQ(RunEmulator({"set-state", "0x9"}).status, 0);
    ProcessResult locked = Load(Path("f10") + " sha512=02 bogus\n" + Path("f11") + " sha512=02\n");
    EXPECT_EQ(locked.status, 1);
    EXPECT_EQ(locked.out, Summary(0, 2));
    EXPECT_EQ(locked.err, fmt::format("pelmor-sign: line 1: ignoring unknown flag 'bogus'\n"
                                      "pelmor-sign: cannot load {0}/f10: Operation not permitted\n"
                                      "pelmor-sign: cannot load {0}/f11: Operation not permitted\n",
                                      dir_));
    EXPECT_EQ(Entries(), expected);
}

TEST_F(LoadTest, UnusableDeviceManifestOrModuleStopsWithoutASummary) {
    struct Case {
        const char* change;  // an emulator command, run before the load
        std::string manifest;
        std::string err;
    } cases[] = {
        {"device read-only", Path("missing"),
         "pelmor-sign: cannot open /dev/veriexec: Permission denied\n"},
        {"device present", Path("missing"),
         "pelmor-sign: cannot open manifest " + Path("missing") + "\n"},
        {"device present", "", "pelmor-sign: cannot open manifest \n"},
        {"device absent", Path("missing"),
         "pelmor-sign: cannot open /dev/veriexec: No such file or directory\n"},
        // With the device still absent: the modules are checked first.
        {"kldunload mac_veriexec_sha512.ko", Path("missing"),
         "Error: required kernel module 'mac_veriexec_sha512.ko' is not loaded\n"},
    };
    for (const Case& c : cases) {
        std::istringstream change(c.change);
        ASSERT_EQ(RunEmulator({std::istream_iterator<std::string>(change), {}}).status, 0);
        ProcessResult result = RunSign({"load", c.manifest});
        EXPECT_EQ(result.status, 1) << c.err;
        EXPECT_EQ(result.out, "") << c.err;
        EXPECT_EQ(result.err, c.err);
    }
}

TEST_F(LoadTest, ManifestThatFailsToReadIsAnErrorNotAnEmptyLoad) {
    ProcessResult empty = Load("");
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.out, Summary(0, 0));
    EXPECT_EQ(empty.err, "");
    ProcessResult result = RunSign({"load", dir_});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "pelmor-sign: cannot read manifest " + dir_ + ": Is a directory\n");
    EXPECT_EQ(result.out, "Loaded 0 entries (1 errors) from " + dir_ + "\n");
}

}  // namespace
