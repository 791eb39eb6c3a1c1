#include <iterator>
#include <sstream>

#include "support/test_support.h"

namespace {

using StatusTest = TempDirTest;

TEST_F(StatusTest, PrintsStateInOctalThenOneLinePerNameOrWarnsWhyItCannot) {
    struct Case {
        const char* change;  // an emulator command run on a fresh facility
        const char* out;
        const char* err;
    } cases[] = {
        {"set-state 0", "Veriexec state: 0\n  INACTIVE\n", ""},
        {"set-state 0x1", "Veriexec state: 01\n  LOADED\n", ""},
        {"set-state 0x3", "Veriexec state: 03\n  LOADED\n  ACTIVE\n", ""},
        {"set-state 0xF", "Veriexec state: 017\n  LOADED\n  ACTIVE\n  ENFORCE\n  LOCKED\n", ""},
        {"set-state 0x8", "Veriexec state: 010\n  LOCKED\n", ""},
        {"set-state 0x10", "Veriexec state: 020\n", ""},
        {"set-state 0x15", "Veriexec state: 025\n  LOADED\n  ENFORCE\n", ""},
        // Reading the state needs no write access.
        {"device read-only", "Veriexec state: 0\n  INACTIVE\n", ""},
        {"device write-only", "", "pelmor-sign: cannot open /dev/veriexec: Permission denied\n"},
        {"device absent", "",
         "pelmor-sign: cannot open /dev/veriexec: No such file or directory\n"},
        {"fail GetState EIO", "", "pelmor-sign: cannot get veriexec state: Input/output error\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.change);
        BootFacility();
        std::istringstream change(c.change);
        ASSERT_EQ(RunEmulator({std::istream_iterator<std::string>(change), {}}).status, 0);
        ProcessResult result = RunSign({"status"});
        EXPECT_EQ(result.status, *c.err == '\0' ? 0 : 1);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, c.err);
    }
    ASSERT_EQ(RunEmulator({"fail", "GetState", "off"}).status, 0);
    EXPECT_EQ(RunSign({"status"}).out, "Veriexec state: 0\n  INACTIVE\n");
}

TEST_F(StatusTest, ReportsOnlyTheFirstMissingModule) {
    auto expectMissing = [](const std::string& module) {
        ProcessResult result = RunSign({"status"});
        EXPECT_EQ(result.status, 1) << module;
        EXPECT_EQ(result.out, "") << module;
        EXPECT_EQ(result.err, "Error: required kernel module '" + module + "' is not loaded\n");
    };
    BootFacility({"--without", "mac_veriexec.ko", "--without", "mac_veriexec_sha512.ko"});
    expectMissing("mac_veriexec.ko");
    ASSERT_EQ(RunEmulator({"kldload", "mac_veriexec.ko"}).status, 0);
    expectMissing("mac_veriexec_sha512.ko");
}

}  // namespace
