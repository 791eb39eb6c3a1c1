#include "veriexec/loader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "support/test_support.h"

namespace {

// 128 hex digits: a whole SHA-512 fingerprint.
const std::string Digits128 = [] {
    std::string digits;
    for (int i = 0; i < 8; ++i) {
        digits += "0123456789abcdef";
    }
    return digits;
}();

// The 64-byte fingerprint field as `show` prints it: the sent digits, then zero bytes.
std::string FingerprintField(std::string digits) {
    std::transform(digits.begin(), digits.end(), digits.begin(), ::tolower);
    return digits + std::string(128 - digits.size(), '0');
}

TEST(DecodeHexFingerprintTest, DecodesPairsOfDigitsInEitherCase) {
    uint8_t bytes[64];
    EXPECT_EQ(DecodeHexFingerprint("", bytes, 64), 0);
    EXPECT_EQ(DecodeHexFingerprint("00fFA9", bytes, 64), 3);
    EXPECT_EQ(bytes[0], 0x00);
    EXPECT_EQ(bytes[1], 0xff);
    EXPECT_EQ(bytes[2], 0xa9);
    EXPECT_EQ(DecodeHexFingerprint(Digits128, bytes, 64), 64);
    EXPECT_EQ(bytes[63], 0xef);
    EXPECT_EQ(DecodeHexFingerprint("aabb", bytes, 2), 2);
}

TEST(DecodeHexFingerprintTest, RefusesAnythingButExactlyTwoDigitsPerByteAndWritesNothing) {
    for (std::string text : {Digits128 + "00", std::string("abc"), std::string("zz"),
                             std::string("+f"), std::string("-1"), std::string("\ta"),
                             std::string("0x"), std::string("a\r"), std::string("0a0\0", 4)}) {
        uint8_t bytes[64];
        std::memset(bytes, 0x5a, sizeof bytes);
        EXPECT_EQ(DecodeHexFingerprint(text, bytes, 64), -1) << text;
        EXPECT_EQ(bytes[0], 0x5a) << text;
    }
    uint8_t bytes[2];
    EXPECT_EQ(DecodeHexFingerprint("aabbcc", bytes, 2), -1);
}

TEST(ParseManifestLineTest, OutcomesAndWarningsFollowTheLine) {
    struct Case {
        std::string line;
        LineOutcome outcome;
        std::vector<std::string> warnings;
    } cases[] = {
        {"", LineOutcome::Ignored, {}},
        {"# /bin/sh sha512=zz", LineOutcome::Ignored, {}},
        {" #/bin/sh sha512=", LineOutcome::Entry, {}},
        {"/bin/sh", LineOutcome::Error, {"line 7: bad format"}},
        {"/bin/sh\tsha512=00", LineOutcome::Error, {"line 7: bad format"}},
        {std::string("/bin/sh\0x sha512=00", 19), LineOutcome::Error, {"line 7: bad format"}},
        {std::string("/bin/sh sha512=00 bogus\0", 24), LineOutcome::Error, {"line 7: bad format"}},
        {"/bin/sh sha512", LineOutcome::Error, {"line 7: missing '=' in attribute"}},
        {"/bin/sh sha512=00 bogus", LineOutcome::Entry, {"line 7: ignoring unknown flag 'bogus'"}},
        {"/bin/sh sha512=zz Trusted\tx",
         LineOutcome::Error,
         {"line 7: ignoring unknown flag 'Trusted'", "line 7: ignoring unknown flag 'x'",
          "line 7: bad fingerprint"}},
        {"/" + std::string(1023, 'p') + " sha512=00 odd",
         LineOutcome::Error,
         {"line 7: ignoring unknown flag 'odd'", "line 7: path too long"}},
        {"/bin/sh sha512=" + Digits128 + "\r", LineOutcome::Error, {"line 7: bad fingerprint"}},
        {"/bin/sh sha512=00 trusted\r", LineOutcome::Entry, {}},
    };
    std::vector<std::string> warnings{"left from an earlier line"};
    for (const Case& c : cases) {
        ManifestEntry entry;
        EXPECT_EQ(ParseManifestLine(c.line, 7, entry, warnings), c.outcome) << c.line;
        EXPECT_EQ(warnings, c.warnings) << c.line;
    }
}

TEST(ParseManifestLineTest, FillsTheWholeRecordFromAnEntryLine) {
    struct Case {
        std::string line;
        uint8_t flags;
        const char* type;
        std::string path;
        std::vector<uint8_t> fingerprint;
    } cases[] = {
        {"/sbin/init sha512=00Ff indirect no_ptrace trusted indirect \t trusted",
         Indirect | NoPtrace | Trusted,
         "sha512",
         "/sbin/init",
         {0x00, 0xff}},
        {"/sbin/init abcdefghijklmnopqrstuvwxyz=", 0, "abcdefghijklmno", "/sbin/init", {}},
        {"/sbin/init  sha512=01", 0, " sha512", "/sbin/init", {0x01}},
        {"/srv/my tool sha512=01", 0, "tool sha512", "/srv/my", {0x01}},
        {" sha512=01", 0, "sha512", "", {0x01}},
        {"/" + std::string(1022, 'p') + " sha512=", 0, "sha512", "/" + std::string(1022, 'p'), {}},
    };
    std::vector<std::string> warnings;
    for (const Case& c : cases) {
        ManifestEntry entry;
        std::memset(&entry, 0xff, sizeof entry);
        ASSERT_EQ(ParseManifestLine(c.line, 1, entry, warnings), LineOutcome::Entry) << c.line;
        ManifestEntry expected;
        std::memset(&expected, 0, sizeof expected);
        expected.flags = c.flags;
        std::strcpy(expected.fingerprintType, c.type);
        std::memcpy(expected.path, c.path.data(), c.path.size());
        std::copy(c.fingerprint.begin(), c.fingerprint.end(), expected.fingerprint);
        EXPECT_EQ(std::memcmp(&entry, &expected, sizeof entry), 0) << c.line;
    }
}

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
        return "Loaded " + std::to_string(loaded) + " entries (" + std::to_string(errors) +
               " errors) from " + Path("manifest") + "\n";
    }

    // The entry lines of `show`, one per loaded path in path order.
    std::string Entries() {
        std::string show = Show();
        size_t first = show.find("entry\t");
        return first == std::string::npos ? "" : show.substr(first);
    }

    static std::string EntryLine(const char* flags, const std::string& digits,
                                 const std::string& path) {
        return std::string("entry\t") + flags + "\tsha512\t" + FingerprintField(digits) + "\t" +
               path + "\n";
    }

    // An executable file whose absolute path is exactly `length` bytes, in nested directories.
    std::string DeepFile(size_t length) {
        std::string path = Path("deep");
        mkdir(path.c_str(), 0755);
        while (length - path.size() > 200) {
            path += "/" + std::string(100, 'd');
            mkdir(path.c_str(), 0755);
        }
        path += "/" + std::string(length - path.size() - 1, 'f');
        WriteFile(path, "", 0755);
        return path;
    }
};

TEST_F(LoadTest, EntryLinesAreSentWithTheirFlagsAndFingerprints) {
    WriteFile(Path("a-tool"), "#!/bin/sh\n", 0755);
    WriteFile(Path("b-data"), "data\n", 0644);
    WriteFile(Path("c-group"), "#!/bin/sh\n", 0610);
    std::string deep = DeepFile(1023);
    std::string upper = "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF";
    ProcessResult result =
        Load("# signed by hand\n" + Path("a-tool") + " sha512=" + Digits128 + "\n\n" +
             Path("b-data") + " sha512=" + upper + " no_ptrace trusted no_ptrace\n" +
             Path("c-group") + " sha512= indirect\n" + deep + " sha512=ff");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, Summary(4, 0));
    EXPECT_EQ(Entries(), EntryLine("0x00", Digits128, Path("a-tool")) +
                             EntryLine("0x0e", upper, Path("b-data")) +
                             EntryLine("0x01", "", Path("c-group")) +
                             EntryLine("0x00", "ff", deep));
    EXPECT_EQ(Show().substr(0, 11), "state 0x01\n");
}

TEST_F(LoadTest, BadLinesAreWarnedWithTheirNumbersAndTheRestLoads) {
    WriteFile(Path("tool"), "#!/bin/sh\n", 0755);
    std::string tool = Path("tool");
    ProcessResult result =
        Load("# comment\n\n" + tool + "\n" + tool + " sha512\n" + tool + " sha512=" + Digits128 +
             "00\n" + tool + " sha512=abc\n" + tool + " sha512=zz\n" + tool + " sha512=+f\n" +
             tool + " sha512=0x\n" + tool + std::string(" sha512=00\0 trusted\n", 20) + tool +
             " sha512=" + Digits128 + "\r\n" + DeepFile(1024) + " sha512=00\n" + tool +
             " sha512=ab fast trusted\r\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, Summary(1, 10));
    EXPECT_EQ(result.err,
              "pelmor-sign: line 3: bad format\n"
              "pelmor-sign: line 4: missing '=' in attribute\n"
              "pelmor-sign: line 5: bad fingerprint\n"
              "pelmor-sign: line 6: bad fingerprint\n"
              "pelmor-sign: line 7: bad fingerprint\n"
              "pelmor-sign: line 8: bad fingerprint\n"
              "pelmor-sign: line 9: bad fingerprint\n"
              "pelmor-sign: line 10: bad format\n"
              "pelmor-sign: line 11: bad fingerprint\n"
              "pelmor-sign: line 12: path too long\n"
              "pelmor-sign: line 13: ignoring unknown flag 'fast'\n");
    EXPECT_EQ(Entries(), EntryLine("0x08", "ab", tool));
}

TEST_F(LoadTest, KernelRefusalsAreCountedAndEveryOtherEntryLoads) {
    std::string manifest;
    std::string expected;
    for (int i = 10; i < 40; ++i) {
        std::string path = Path("f" + std::to_string(i));
        if (i == 15) {
            manifest += path + " sha512=01\n";
        } else if (i == 25) {
            manifest += path + " md5=01\n";
        } else if (i == 35) {
            manifest += path + "  sha512=01\n";
        } else {
            WriteFile(path, "", 0755);
            manifest += path + " sha512=01\n";
            expected += EntryLine("0x00", "01", path);
        }
    }
    WriteFile(Path("f25"), "", 0755);
    WriteFile(Path("f35"), "", 0755);
    ProcessResult result = Load(manifest);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, Summary(27, 3));
    EXPECT_EQ(result.err, "pelmor-sign: cannot load " + Path("f15") +
                              ": No such file or directory\n"
                              "pelmor-sign: cannot load " +
                              Path("f25") +
                              ": Invalid argument\n"
                              "pelmor-sign: cannot load " +
                              Path("f35") + ": Invalid argument\n");
    EXPECT_EQ(Entries(), expected);
}

TEST_F(LoadTest, LockedFacilityRefusesEveryEntry) {
    ASSERT_EQ(RunEmulator({"set-state", "0x9"}).status, 0);
    ProcessResult result = Load("/bin/sh sha512=00 bogus\n/usr/bin/env sha512=01\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, Summary(0, 2));
    EXPECT_EQ(result.err,
              "pelmor-sign: line 1: ignoring unknown flag 'bogus'\n"
              "pelmor-sign: cannot load /bin/sh: Operation not permitted\n"
              "pelmor-sign: cannot load /usr/bin/env: Operation not permitted\n");
    EXPECT_EQ(Show().substr(0, 11), "state 0x09\n");
    EXPECT_EQ(Entries(), "");
}

TEST_F(LoadTest, ManifestsWithoutEntriesLoadNothingAndSucceed) {
    for (const char* manifest : {"", "# only a comment\n\n#/bin/sh sha512=zz"}) {
        ProcessResult result = Load(manifest);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, Summary(0, 0));
        EXPECT_EQ(result.err, "");
    }
}

TEST_F(LoadTest, UnusableDeviceOrManifestStopsWithoutASummary) {
    struct Case {
        const char* device;
        std::string manifest;
        std::string err;
    } cases[] = {
        {"absent", Path("missing"),
         "pelmor-sign: cannot open /dev/veriexec: No such file or directory\n"},
        {"read-only", Path("missing"),
         "pelmor-sign: cannot open /dev/veriexec: Permission denied\n"},
        {"present", Path("missing"), "pelmor-sign: cannot open manifest " + Path("missing") + "\n"},
        {"present", "", "pelmor-sign: cannot open manifest \n"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(RunEmulator({"device", c.device}).status, 0);
        ProcessResult result = RunSign({"load", c.manifest});
        EXPECT_EQ(result.status, 1) << c.device;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, c.err);
    }
    ASSERT_EQ(RunEmulator({"kldunload", "mac_veriexec_sha512.ko"}).status, 0);
    ProcessResult result = RunSign({"load", Path("missing")});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Error: required kernel module 'mac_veriexec_sha512.ko' is not loaded\n");
}

TEST_F(LoadTest, ManifestThatFailsToReadIsAnErrorNotAnEmptyLoad) {
    ProcessResult result = RunSign({"load", dir_});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "pelmor-sign: cannot read manifest " + dir_ + ": Is a directory\n");
    EXPECT_EQ(result.out, "Loaded 0 entries (1 errors) from " + dir_ + "\n");
}

}  // namespace
