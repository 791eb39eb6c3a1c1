#include <fmt/core.h>
#include <unistd.h>

#include <cstdio>
#include <iterator>
#include <sstream>

#include "support/test_support.h"

namespace {

using EmulatorCommandsTest = TempDirTest;

// SHA-512 and SHA-256 of "abc" (FIPS 180-2 test vectors).
const std::string Sha512Abc =
    "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
    "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f";
const std::string Sha256Abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST_F(EmulatorCommandsTest, BootGivesAFreshFacilityThatShowReports) {
    BootFacility();
    EXPECT_EQ(Show(),
              "state 0x00\n"
              "modules veriexec.ko mac_veriexec.ko mac_veriexec_sha256.ko mac_veriexec_sha512.ko\n"
              "device read-write\n");
    WriteFile(Path("m"), Path("m") + " sha512=00\n");
    ASSERT_EQ(RunSign({"load", Path("m")}).status, 0);
    ASSERT_EQ(RunEmulator({"set-state", "5"}).status, 0);
    ASSERT_EQ(RunEmulator({"device", "no-access"}).status, 0);
    BootFacility({"--without", "veriexec.ko", "--without", "mac_veriexec_sha256.ko"});
    EXPECT_EQ(Show(),
              "state 0x00\nmodules mac_veriexec.ko mac_veriexec_sha512.ko\ndevice read-write\n");
}

TEST_F(EmulatorCommandsTest, ShowListsTheLatestEntryPerPathThatVerifyJudgesByCurrentContent) {
    BootFacility();
    for (const char* name : {"b", "c", "changed", "unlisted"}) {
        WriteFile(Path(name), "abc", 0755);
    }
    WriteFile(Path("a"), "abc", 0644);
    // {0} is the test's directory, {1} and {2} the digests of "abc".
    WriteFile(Path("manifest"), fmt::format("{0}/b sha256={2}\n"
                                            "{0}/a sha512={1} trusted\n"
                                            "{0}/b sha512={1} indirect\n"
                                            "{0}/c sha256={2}\n"
                                            "{0}/changed sha512={1}\n",
                                            dir_, Sha512Abc, Sha256Abc));
    ASSERT_EQ(RunSign({"load", Path("manifest")}).status, 0);
    WriteFile(Path("changed"), "abd", 0755);
    EXPECT_EQ(Show(), fmt::format("state 0x01\n"
                                  "modules veriexec.ko mac_veriexec.ko mac_veriexec_sha256.ko "
                                  "mac_veriexec_sha512.ko\n"
                                  "device read-write\n"
                                  "entry\t0x0a\tsha512\t{1}\t{0}/a\n"
                                  "entry\t0x01\tsha512\t{1}\t{0}/b\n"
                                  "entry\t0x00\tsha256\t{2}{3}\t{0}/c\n"
                                  "entry\t0x00\tsha512\t{1}\t{0}/changed\n",
                                  dir_, Sha512Abc, Sha256Abc, std::string(64, '0')));

    ProcessResult good = RunEmulator({"verify", Path("a"), Path("c")});
    EXPECT_EQ(good.status, 0);
    EXPECT_EQ(good.out, fmt::format("{0}/a: ok\n{0}/c: ok\n", dir_));
    ProcessResult bad = RunEmulator({"verify", Path("a"), Path("changed"), Path("unlisted")});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, fmt::format("{0}/a: ok\n{0}/changed: fingerprint mismatch\n"
                                   "{0}/unlisted: not in table\n",
                                   dir_));
}

// The words of a command line.
std::vector<std::string> Words(const char* line) {
    std::istringstream words(line);
    return {std::istream_iterator<std::string>(words), {}};
}

TEST_F(EmulatorCommandsTest, BadArgumentsGiveAClearErrorAndStatusOne) {
    BootFacility();
    std::string before = Show();
    // An empty argument cannot be written as a word of a line.
    std::vector<std::vector<std::string>> bad = {{"set-state", ""}};
    for (const char* line :
         {"", "reboot", "boot --with veriexec.ko", "boot --without", "boot --without veriexec",
          "kldload", "kldload linux.ko", "device sideways", "fail Load EIO",
          "fail LoadEntry EWHATEVER", "fail LoadEntry", "set-state ten", "set-state 0x100000000",
          "show now", "verify"}) {
        bad.push_back(Words(line));
    }
    for (const std::vector<std::string>& arguments : bad) {
        ProcessResult result = RunEmulator(arguments);
        EXPECT_EQ(result.status, 1) << (arguments.empty() ? "" : arguments[0]);
        EXPECT_EQ(result.err.rfind("veriexec-emulator: ", 0), 0u) << result.err;
    }
    EXPECT_EQ(Show(), before);
}

TEST_F(EmulatorCommandsTest, CommandsOnAnUnbootedFacilitySayBootFirst) {
    for (const char* line :
         {"show", "set-state 1", "kldload veriexec.ko", "device absent", "fail Lock EIO"}) {
        ProcessResult result = RunEmulator(Words(line));
        EXPECT_EQ(result.status, 1) << line;
        EXPECT_NE(result.err.find("veriexec-emulator boot"), std::string::npos) << result.err;
    }
}

TEST_F(EmulatorCommandsTest, ShutdownRemovesOnlyTheFacilitysOwnFiles) {
    BootFacility();
    WriteFile(facility_ + "/keep-me", "mine", 0644);
    ASSERT_EQ(RunEmulator({"shutdown"}).status, 0);
    EXPECT_EQ(ReadFile(facility_ + "/keep-me"), "mine");
    EXPECT_EQ(RunEmulator({"show"}).status, 1);
    std::remove((facility_ + "/keep-me").c_str());
    BootFacility();
    ASSERT_EQ(RunEmulator({"shutdown"}).status, 0);
    EXPECT_NE(access(facility_.c_str(), F_OK), 0);
}

}  // namespace
