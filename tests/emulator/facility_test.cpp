#include "emulator/facility.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>

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

    static ManifestEntry Entry(const std::string& path, const char* type = "sha512") {
        ManifestEntry entry;
        std::memset(&entry, 0, sizeof entry);
        std::strcpy(entry.fingerprintType, type);
        std::strncpy(entry.path, path.c_str(), EntryPathSize - 1);
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

    off_t EntriesSize() {
        struct stat status;
        EXPECT_EQ(stat((facility_ + "/entries").c_str(), &status), 0);
        return status.st_size;
    }
};

TEST_F(FacilityTest, OpenFollowsTheDeviceModeEvenForRoot) {
    struct Case {
        const char* mode;
        int errors[3];  // opening for O_RDONLY, O_WRONLY and O_RDWR, in that order
    } cases[] = {
        {"read-only", {0, EACCES, EACCES}},
        {"write-only", {EACCES, 0, EACCES}},
        {"no-access", {EACCES, EACCES, EACCES}},
        {"absent", {ENOENT, ENOENT, ENOENT}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(RunEmulator({"device", c.mode}).status, 0);
        for (int access : {O_RDONLY, O_WRONLY, O_RDWR}) {
            int fd = PlatformOpenDevice("/dev/veriexec", access);
            EXPECT_EQ(fd < 0 ? errno : 0, c.errors[access]) << c.mode << " access " << access;
            EXPECT_TRUE(fd < 0 || PlatformCloseDevice(fd) == 0);
        }
    }
}

TEST_F(FacilityTest, RequestsCheckCodeAndAccessAndCopyOutExactlyTheEncodedSize) {
    ASSERT_EQ(RunEmulator({"set-state", "0x0b"}).status, 0);
    unsigned char buffer[8];
    std::memset(buffer, 0xee, sizeof buffer);
    EXPECT_EQ(Request(0x40045308UL, buffer), ENOTTY);
    EXPECT_EQ(Request(GetState, buffer, O_WRONLY), EBADF);
    ManifestEntry entry = Entry(Path("tool"));
    // The facility is locked: a request that got past the access check would be refused
    // with EPERM instead.
    EXPECT_EQ(Request(LoadEntry, &entry, O_RDONLY), EBADF);
    EXPECT_EQ(Request(Lock, buffer, O_RDONLY), EBADF);
    ASSERT_EQ(Request(GetState, buffer, O_RDONLY), 0);
    int32_t state;
    std::memcpy(&state, buffer, sizeof state);
    EXPECT_EQ(state, 0x0b);
    EXPECT_EQ(std::vector<unsigned char>(buffer + 4, buffer + 8),
              std::vector<unsigned char>(4, 0xee));
}

TEST_F(FacilityTest, LoadEntryRefusesWhatTheKernelWouldRefuse) {
    EXPECT_EQ(Load(Entry("tool")), EINVAL);
    ManifestEntry unterminated = Entry(Path("tool"));
    std::memset(unterminated.path, 'a', EntryPathSize);
    unterminated.path[0] = '/';
    EXPECT_EQ(Load(unterminated), EINVAL);
    ASSERT_EQ(RunEmulator({"kldunload", "mac_veriexec_sha256.ko"}).status, 0);
    EXPECT_EQ(Load(Entry(Path("tool"), "sha256")), EINVAL);
    EXPECT_EQ(EntriesSize(), 0);
    EXPECT_EQ(Load(Entry(Path("tool"))), 0);
}

TEST_F(FacilityTest, EachLoadAppendsOneWholeRecordAfterCuttingOffATornOne) {
    ASSERT_EQ(Load(Entry(Path("tool"))), 0);
    // What a writer killed in the middle of a record leaves behind.
    std::ofstream(facility_ + "/entries", std::ios::app) << "/half-a-record";
    FacilityTable torn;
    ASSERT_EQ(torn.Open(facility_), 0);
    EXPECT_EQ(torn.Latest().size(), 1u);

    ASSERT_EQ(Load(Entry(dir_)), 0);
    ASSERT_EQ(Load(Entry(Path("tool"), "sha256")), 0);
    EXPECT_EQ(EntriesSize(), static_cast<off_t>(3 * sizeof(ManifestEntry)));
    FacilityTable table;
    ASSERT_EQ(table.Open(facility_), 0);
    EXPECT_EQ(table.Latest().size(), 2u);
}

TEST_F(FacilityTest, StateChangesFollowKernelRules) {
    int32_t unused = 0;
    EXPECT_EQ(Request(Activate, &unused), EINVAL);
    EXPECT_EQ(Request(Enforce, &unused), EINVAL);
    ASSERT_EQ(Load(Entry(Path("tool"))), 0);
    EXPECT_EQ(Request(Enforce, &unused), 0);
    EXPECT_EQ(Show().substr(0, 11), "state 0x07\n");
    EXPECT_EQ(Request(Lock, &unused), 0);
    for (unsigned long request : {Activate, Enforce, Lock}) {
        EXPECT_EQ(Request(request, &unused), EPERM);
    }
    EXPECT_EQ(Show().substr(0, 11), "state 0x0f\n");
}

}  // namespace
