#include "emulator/facility.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "support/test_support.h"
#include "veriexec/platform.h"

namespace {

class FacilityTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        BootFacility();
        WriteFile(Path("tool"), "#!/bin/sh\n", 0755);
    }

    static ManifestEntry Entry(const std::string& path, const char* type = "sha512",
                               uint8_t flags = 0) {
        ManifestEntry entry;
        std::memset(&entry, 0, sizeof entry);
        entry.flags = flags;
        std::strncpy(entry.fingerprintType, type, FingerprintTypeSize - 1);
        std::strncpy(entry.path, path.c_str(), EntryPathSize - 1);
        entry.fingerprint[0] = 0xab;
        return entry;
    }

    // Opens the device, issues one request and closes it; returns 0 or the errno.
    static int Request(unsigned long request, void* argument, int access = O_RDWR) {
        int fd = PlatformOpenDevice("/dev/veriexec", access);
        if (fd < 0) {
            return errno;
        }
        int result = PlatformDeviceRequest(fd, request, argument) < 0 ? errno : 0;
        PlatformCloseDevice(fd);
        return result;
    }

    static int Load(ManifestEntry entry) { return Request(LoadEntry, &entry); }

    static int32_t State() {
        int32_t state = -1;
        EXPECT_EQ(Request(GetState, &state), 0);
        return state;
    }

    off_t EntriesSize() {
        struct stat status;
        EXPECT_EQ(stat((facility_ + "/entries").c_str(), &status), 0);
        return status.st_size;
    }
};

TEST_F(FacilityTest, ModulesAreMissingUntilBootedAndFollowLoadAndUnload) {
    for (const char* name :
         {"veriexec.ko", "mac_veriexec.ko", "mac_veriexec_sha256.ko", "mac_veriexec_sha512.ko"}) {
        EXPECT_GT(PlatformFindModule(name), 0) << name;
    }
    EXPECT_EQ(PlatformFindModule("unknown.ko"), -1);
    ASSERT_EQ(RunEmulator({"kldunload", "mac_veriexec.ko"}).status, 0);
    EXPECT_EQ(PlatformFindModule("mac_veriexec.ko"), -1);
    EXPECT_GT(PlatformFindModule("veriexec.ko"), 0);
    ASSERT_EQ(RunEmulator({"shutdown"}).status, 0);
    EXPECT_EQ(PlatformFindModule("veriexec.ko"), -1);
}

TEST_F(FacilityTest, OpenFollowsTheDeviceModeEvenForRoot) {
    struct Case {
        const char* mode;
        int read, write, both;
    } cases[] = {
        {"read-write", 0, 0, 0},
        {"read-only", 0, EACCES, EACCES},
        {"write-only", EACCES, 0, EACCES},
        {"no-access", EACCES, EACCES, EACCES},
        {"absent", ENOENT, ENOENT, ENOENT},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(RunEmulator({"device", c.mode}).status, 0);
        int flags[] = {O_RDONLY, O_WRONLY, O_RDWR};
        int expected[] = {c.read, c.write, c.both};
        for (int i = 0; i < 3; ++i) {
            int fd = PlatformOpenDevice("/dev/veriexec", flags[i]);
            EXPECT_EQ(fd < 0 ? errno : 0, expected[i]) << c.mode << " flags " << flags[i];
            if (fd >= 0) {
                PlatformCloseDevice(fd);
            }
        }
    }
    EXPECT_EQ(PlatformOpenDevice("/dev/other", O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(FacilityTest, RequestsCheckCodeAndDescriptorAccess) {
    int32_t state = 0;
    EXPECT_EQ(Request(0x40045308UL, &state), ENOTTY);
    EXPECT_EQ(Request(GetState, &state, O_WRONLY), EBADF);
    EXPECT_EQ(Request(GetState, &state, O_RDONLY), 0);
    ManifestEntry entry = Entry(Path("tool"));
    EXPECT_EQ(Request(LoadEntry, &entry, O_RDONLY), EBADF);
    EXPECT_EQ(Request(Lock, &state, O_RDONLY), EBADF);
    EXPECT_EQ(State(), 0);
}

TEST_F(FacilityTest, GetStateCopiesOutExactlyFourBytes) {
    ASSERT_EQ(RunEmulator({"set-state", "0x0b"}).status, 0);
    unsigned char buffer[8];
    std::memset(buffer, 0xee, sizeof buffer);
    ASSERT_EQ(Request(GetState, buffer), 0);
    int32_t state;
    std::memcpy(&state, buffer, sizeof state);
    EXPECT_EQ(state, 0x0b);
    for (int i = 4; i < 8; ++i) {
        EXPECT_EQ(buffer[i], 0xee);
    }
}

TEST_F(FacilityTest, LoadEntryRefusesWhatTheKernelWouldRefuse) {
    EXPECT_EQ(Load(Entry(Path("tool"), "md5")), EINVAL);
    EXPECT_EQ(Load(Entry(Path("tool"), "")), EINVAL);
    EXPECT_EQ(Load(Entry("tool")), EINVAL);
    EXPECT_EQ(Load(Entry(Path("missing"))), ENOENT);
    ManifestEntry unterminated = Entry(Path("tool"));
    std::memset(unterminated.path, 'a', EntryPathSize);
    unterminated.path[0] = '/';
    EXPECT_EQ(Load(unterminated), EINVAL);
    ASSERT_EQ(RunEmulator({"kldunload", "mac_veriexec_sha256.ko"}).status, 0);
    EXPECT_EQ(Load(Entry(Path("tool"), "sha256")), EINVAL);
    EXPECT_EQ(Load(Entry(Path("tool"), "sha512")), 0);
    EXPECT_EQ(State(), VeriexecStateLoaded);

    ASSERT_EQ(RunEmulator({"set-state", "0x9"}).status, 0);
    EXPECT_EQ(Load(Entry(Path("tool"), "sha512")), EPERM);
    EXPECT_EQ(EntriesSize(), static_cast<off_t>(sizeof(ManifestEntry)));
}

TEST_F(FacilityTest, EachLoadAppendsOneRecordAndTheLatestRecordWins) {
    WriteFile(Path("other"), "x", 0644);
    ASSERT_EQ(Load(Entry(Path("tool"), "sha512", Trusted)), 0);
    ASSERT_EQ(Load(Entry(Path("other"))), 0);
    ASSERT_EQ(Load(Entry(Path("tool"), "sha256", NoPtrace)), 0);
    EXPECT_EQ(EntriesSize(), static_cast<off_t>(3 * sizeof(ManifestEntry)));

    FacilityTable table;
    ASSERT_EQ(table.Open(facility_), 0);
    ASSERT_EQ(table.Latest().size(), 2u);
    ManifestEntry latest;
    ASSERT_TRUE(table.Read(table.Latest().at(Path("tool")), latest));
    EXPECT_STREQ(latest.fingerprintType, "sha256");
    EXPECT_EQ(latest.flags, NoPtrace);
}

TEST_F(FacilityTest, TornRecordLeftByACrashIsCutOffAndIgnored) {
    ASSERT_EQ(Load(Entry(Path("tool"))), 0);
    {
        int fd = open((facility_ + "/entries").c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "/half-a-record", 14), 14);
        close(fd);
    }
    FacilityTable torn;
    ASSERT_EQ(torn.Open(facility_), 0);
    EXPECT_EQ(torn.Latest().size(), 1u);

    WriteFile(Path("second"), "", 0644);
    ASSERT_EQ(Load(Entry(Path("second"))), 0);
    EXPECT_EQ(EntriesSize(), static_cast<off_t>(2 * sizeof(ManifestEntry)));
    FacilityTable repaired;
    ASSERT_EQ(repaired.Open(facility_), 0);
    EXPECT_EQ(repaired.Latest().size(), 2u);
}

TEST_F(FacilityTest, StateChangesFollowKernelRules) {
    int32_t unused = 0;
    EXPECT_EQ(Request(Activate, &unused), EINVAL);
    EXPECT_EQ(Request(Enforce, &unused), EINVAL);
    ASSERT_EQ(Load(Entry(Path("tool"))), 0);
    EXPECT_EQ(Request(Activate, &unused), 0);
    EXPECT_EQ(State(), VeriexecStateLoaded | VeriexecStateActive);
    EXPECT_EQ(Request(Enforce, &unused), 0);
    EXPECT_EQ(State(), VeriexecStateLoaded | VeriexecStateActive | VeriexecStateEnforce);
    EXPECT_EQ(Request(Lock, &unused), 0);
    for (unsigned long request : {Activate, Enforce, Lock}) {
        EXPECT_EQ(Request(request, &unused), EPERM);
    }
    EXPECT_EQ(State(), 0x0f);
}

TEST_F(FacilityTest, ConcurrentProcessesLoseNoEntry) {
    constexpr int PerProcess = 300;
    for (int i = 0; i < 2 * PerProcess; ++i) {
        WriteFile(Path("f" + std::to_string(i)), "", 0644);
    }
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = fork();
        if (children[c] == 0) {
            for (int i = c * PerProcess; i < (c + 1) * PerProcess; ++i) {
                if (Load(Entry(Path("f" + std::to_string(i)))) != 0) {
                    _exit(1);
                }
            }
            _exit(0);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    FacilityTable table;
    ASSERT_EQ(table.Open(facility_), 0);
    EXPECT_EQ(table.Latest().size(), static_cast<size_t>(2 * PerProcess));
    EXPECT_EQ(EntriesSize(), static_cast<off_t>(2 * PerProcess * sizeof(ManifestEntry)));
}

}  // namespace
