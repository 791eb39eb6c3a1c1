#include "support/test_support.h"

namespace {

class StatusTest : public TempDirTest {
  protected:
    ProcessResult StatusAt(const std::string& state) {
        EXPECT_EQ(RunEmulator({"set-state", state}).status, 0);
        return RunSign({"status"});
    }
};

TEST_F(StatusTest, PrintsStateInOctalThenOneLinePerName) {
    BootFacility();
    struct Case {
        const char* state;
        const char* report;
    } cases[] = {
        {"0", "Veriexec state: 0\n  INACTIVE\n"},
        {"0x1", "Veriexec state: 01\n  LOADED\n"},
        {"0x3", "Veriexec state: 03\n  LOADED\n  ACTIVE\n"},
        {"0xF", "Veriexec state: 017\n  LOADED\n  ACTIVE\n  ENFORCE\n  LOCKED\n"},
        {"0x8", "Veriexec state: 010\n  LOCKED\n"},
        {"0x10", "Veriexec state: 020\n"},
        {"0x15", "Veriexec state: 025\n  LOADED\n  ENFORCE\n"},
    };
    for (const Case& c : cases) {
        ProcessResult result = StatusAt(c.state);
        EXPECT_EQ(result.status, 0) << c.state;
        EXPECT_EQ(result.out, c.report) << c.state;
        EXPECT_EQ(result.err, "") << c.state;
    }
}

TEST_F(StatusTest, ReportsOnlyTheFirstMissingModule) {
    ProcessResult none = RunSign({"status"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, "Error: required kernel module 'veriexec.ko' is not loaded\n");

    BootFacility({"--without", "mac_veriexec.ko", "--without", "mac_veriexec_sha512.ko"});
    ProcessResult one = RunSign({"status"});
    EXPECT_EQ(one.status, 1);
    EXPECT_EQ(one.err, "Error: required kernel module 'mac_veriexec.ko' is not loaded\n");

    ASSERT_EQ(RunEmulator({"kldload", "mac_veriexec.ko"}).status, 0);
    EXPECT_EQ(RunSign({"status"}).err,
              "Error: required kernel module 'mac_veriexec_sha512.ko' is not loaded\n");
}

TEST_F(StatusTest, DeviceThatCannotBeReadGivesWarningAndNoReport) {
    BootFacility();
    struct Case {
        const char* mode;
        const char* warning;
    } cases[] = {
        {"absent", "pelmor-sign: cannot open /dev/veriexec: No such file or directory\n"},
        {"write-only", "pelmor-sign: cannot open /dev/veriexec: Permission denied\n"},
        {"no-access", "pelmor-sign: cannot open /dev/veriexec: Permission denied\n"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(RunEmulator({"device", c.mode}).status, 0);
        ProcessResult result = RunSign({"status"});
        EXPECT_EQ(result.status, 1) << c.mode;
        EXPECT_EQ(result.out, "") << c.mode;
        EXPECT_EQ(result.err, c.warning) << c.mode;
    }
    ASSERT_EQ(RunEmulator({"device", "read-only"}).status, 0);
    EXPECT_EQ(RunSign({"status"}).status, 0);
}

TEST_F(StatusTest, RefusedStateRequestGivesWarning) {
    BootFacility();
    ASSERT_EQ(RunEmulator({"fail", "GetState", "EIO"}).status, 0);
    ProcessResult result = RunSign({"status"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "pelmor-sign: cannot get veriexec state: Input/output error\n");

    ASSERT_EQ(RunEmulator({"fail", "GetState", "off"}).status, 0);
    EXPECT_EQ(RunSign({"status"}).status, 0);
}

}  // namespace
