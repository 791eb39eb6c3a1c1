#include "veriexec/device.h"

#include <filesystem>
#include <iterator>

#include "support/test_support.h"

namespace {

TEST(RequestCodeTest, CodesCarryTheSizeOfTheirArgument) {
    EXPECT_EQ(RequestArgumentSize(LoadEntry), sizeof(ManifestEntry));
    EXPECT_EQ(RequestArgumentSize(GetState), sizeof(VeriexecState));
    EXPECT_EQ(RequestArgumentSize(Lock), 0u);
}

using DeviceTest = TempDirTest;

TEST_F(DeviceTest, GetVeriexecStateReadsTheStateAndClosesTheDevice) {
    auto openDescriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    BootFacility();
    ASSERT_EQ(RunEmulator({"set-state", "0x3"}).status, 0);
    auto before = openDescriptors();
    VeriexecState state = 0;
    EXPECT_EQ(GetVeriexecState(state), 0);
    EXPECT_EQ(state, 0x3);
    EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
