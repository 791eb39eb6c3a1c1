#include "veriexec/device.h"

#include <dirent.h>
#include <fcntl.h>

#include "support/test_support.h"

namespace {

int OpenDescriptorCount() {
    int count = 0;
    DIR* fds = opendir("/proc/self/fd");
    while (readdir(fds) != nullptr) {
        ++count;
    }
    closedir(fds);
    return count;
}

TEST(RequestCodeTest, CodesCarryDirectionSizeGroupAndNumber) {
    EXPECT_EQ(RequestArgumentSize(LoadEntry), sizeof(ManifestEntry));
    EXPECT_EQ(RequestArgumentSize(GetState), 4u);
    EXPECT_EQ(RequestArgumentSize(Lock), 0u);
    EXPECT_EQ(LoadEntry & 0xe0000000UL, RequestDirectionIn);
    EXPECT_EQ(GetState & 0xe0000000UL, RequestDirectionOut);
    for (unsigned long request : {LoadEntry, GetState, Activate, Enforce, Lock}) {
        EXPECT_EQ((request >> 8) & 0xff, static_cast<unsigned long>('S'));
    }
}

using DeviceTest = TempDirTest;

TEST_F(DeviceTest, GetVeriexecStateFillsTheStateAndClosesTheDevice) {
    BootFacility();
    ASSERT_EQ(RunEmulator({"set-state", "0x3"}).status, 0);
    int before = OpenDescriptorCount();
    VeriexecState state = 0;
    EXPECT_EQ(GetVeriexecState(state), 0);
    EXPECT_EQ(state, 0x3);
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST_F(DeviceTest, GetVeriexecStateReturnsMinusOneWhenTheDeviceIsMissing) {
    BootFacility();
    ASSERT_EQ(RunEmulator({"device", "absent"}).status, 0);
    VeriexecState state = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(GetVeriexecState(state), -1);
    std::string warning = testing::internal::GetCapturedStderr();
    EXPECT_NE(warning.find(": cannot open /dev/veriexec: No such file or directory\n"),
              std::string::npos)
        << warning;
}

TEST_F(DeviceTest, HandleClosesItsDescriptorWhenItGoesAway) {
    BootFacility();
    int before = OpenDescriptorCount();
    {
        DeviceHandle device(O_WRONLY);
        ASSERT_TRUE(device.IsOpen());
        EXPECT_EQ(OpenDescriptorCount(), before + 1);
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

}  // namespace
