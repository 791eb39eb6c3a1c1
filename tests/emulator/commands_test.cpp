#include <fcntl.h>

#include <cstring>

#include "support/test_support.h"
#include "veriexec/device.h"

namespace {

class EmulatorCommandsTest : public TempDirTest {
  protected:
    // Sends one record through the real device path, as `load` does.
    static void Load(const std::string& path, const char* type, const std::string& fingerprint,
                     uint8_t flags = 0) {
        ManifestEntry entry;
        std::memset(&entry, 0, sizeof entry);
        entry.flags = flags;
        std::strcpy(entry.fingerprintType, type);
        std::strcpy(entry.path, path.c_str());
        for (size_t i = 0; i < fingerprint.size() / 2; ++i) {
            entry.fingerprint[i] =
                static_cast<uint8_t>(std::stoul(fingerprint.substr(2 * i, 2), nullptr, 16));
        }
        DeviceHandle device(O_WRONLY);
        ASSERT_TRUE(device.IsOpen());
        ASSERT_EQ(device.Request(LoadEntry, &entry), 0) << std::strerror(errno);
    }
};

// SHA-512 and SHA-256 of "abc" (FIPS 180-2 test vectors).
constexpr const char* Sha512Abc =
    "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
    "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f";
constexpr const char* Sha256Abc =
    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST_F(EmulatorCommandsTest, BootGivesAFreshFacilityThatShowReports) {
    BootFacility();
    EXPECT_EQ(Show(),
              "state 0x00\n"
              "modules veriexec.ko mac_veriexec.ko mac_veriexec_sha256.ko mac_veriexec_sha512.ko\n"
              "device read-write\n");
    ASSERT_EQ(RunEmulator({"set-state", "5"}).status, 0);
    ASSERT_EQ(RunEmulator({"device", "no-access"}).status, 0);
    BootFacility({"--without", "veriexec.ko", "--without", "mac_veriexec_sha256.ko"});
    EXPECT_EQ(Show(),
              "state 0x00\nmodules mac_veriexec.ko mac_veriexec_sha512.ko\ndevice read-write\n");
}

TEST_F(EmulatorCommandsTest, ShowListsLatestEntryPerPathSortedByPath) {
    BootFacility();
    WriteFile(Path("b"), "abc", 0755);
    WriteFile(Path("a"), "abc", 0644);
    Load(Path("b"), "sha256", Sha256Abc);
    Load(Path("a"), "sha512", Sha512Abc, NonExecutable | Trusted);
    Load(Path("b"), "sha512", Sha512Abc, Indirect);
    std::string zeros(64, '0');
    EXPECT_EQ(Show(),
              "state 0x01\n"
              "modules veriexec.ko mac_veriexec.ko mac_veriexec_sha256.ko "
              "mac_veriexec_sha512.ko\n"
              "device read-write\n"
              "entry\t0x0a\tsha512\t" +
                  std::string(Sha512Abc) + "\t" + Path("a") + "\n" + "entry\t0x01\tsha512\t" +
                  std::string(Sha512Abc) + "\t" + Path("b") + "\n");
}

TEST_F(EmulatorCommandsTest, VerifyJudgesCurrentContentAgainstTheTable) {
    BootFacility();
    WriteFile(Path("good512"), "abc", 0755);
    WriteFile(Path("good256"), "abc", 0755);
    WriteFile(Path("changed"), "abc", 0755);
    WriteFile(Path("unlisted"), "abc", 0755);
    Load(Path("good512"), "sha512", Sha512Abc);
    Load(Path("good256"), "sha256", Sha256Abc);
    Load(Path("changed"), "sha512", Sha512Abc);
    WriteFile(Path("changed"), "abd", 0755);

    ProcessResult good = RunEmulator({"verify", Path("good512"), Path("good256")});
    EXPECT_EQ(good.status, 0);
    EXPECT_EQ(good.out, Path("good512") + ": ok\n" + Path("good256") + ": ok\n");

    ProcessResult bad = RunEmulator({"verify", Path("good512"), Path("changed"), Path("unlisted")});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, Path("good512") + ": ok\n" + Path("changed") + ": fingerprint mismatch\n" +
                           Path("unlisted") + ": not in table\n");
}

TEST_F(EmulatorCommandsTest, BadArgumentsGiveAClearErrorAndStatusOne) {
    BootFacility();
    std::vector<std::vector<std::string>> bad = {
        {},
        {"reboot"},
        {"boot", "--with", "veriexec.ko"},
        {"boot", "--without"},
        {"boot", "--without", "veriexec"},
        {"kldload"},
        {"kldload", "linux.ko"},
        {"device", "sideways"},
        {"fail", "Load", "EIO"},
        {"fail", "LoadEntry", "EWHATEVER"},
        {"fail", "LoadEntry"},
        {"set-state", "ten"},
        {"set-state", "0x100000000"},
        {"set-state", ""},
        {"show", "now"},
        {"verify"},
    };
    std::string before = Show();
    for (const auto& arguments : bad) {
        ProcessResult result = RunEmulator(arguments);
        EXPECT_EQ(result.status, 1) << (arguments.empty() ? "" : arguments[0]);
        EXPECT_EQ(result.err.rfind("veriexec-emulator: ", 0), 0u) << result.err;
    }
    EXPECT_EQ(Show(), before);
}

TEST_F(EmulatorCommandsTest, CommandsOnAnUnbootedFacilitySayBootFirst) {
    for (std::vector<std::string> arguments : {std::vector<std::string>{"show"},
                                               {"set-state", "1"},
                                               {"kldload", "veriexec.ko"},
                                               {"device", "absent"},
                                               {"fail", "Lock", "EIO"}}) {
        ProcessResult result = RunEmulator(arguments);
        EXPECT_EQ(result.status, 1) << arguments[0];
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
