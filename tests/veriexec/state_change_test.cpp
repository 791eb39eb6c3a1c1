#include "support/test_support.h"

namespace {

class StateChangeTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        BootFacility();
    }
    void SetState(const std::string& state) {
        ASSERT_EQ(RunEmulator({"set-state", state}).status, 0);
    }
    std::string StateLine() { return Show().substr(0, Show().find('\n')); }
};

TEST_F(StateChangeTest, ActivateAndEnforceNeedALoadedManifest) {
    for (const char* word : {"activate", "enforce"}) {
        ProcessResult result = RunSign({word});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, std::string("Error: '") + word +
                                  "' requires a loaded manifest (run 'pelmor-sign load' first)\n");
        EXPECT_EQ(StateLine(), "state 0x00");
    }
}

TEST_F(StateChangeTest, LoadedFacilityMovesToActiveThenEnforce) {
    SetState("1");
    ProcessResult activate = RunSign({"activate"});
    EXPECT_EQ(activate.status, 0);
    EXPECT_EQ(activate.out, "Veriexec state set to 'activate'\n");
    EXPECT_EQ(activate.err, "");
    EXPECT_EQ(StateLine(), "state 0x03");

    ProcessResult enforce = RunSign({"enforce"});
    EXPECT_EQ(enforce.status, 0);
    EXPECT_EQ(enforce.out, "Veriexec state set to 'enforce'\n");
    EXPECT_EQ(StateLine(), "state 0x07");
}

TEST_F(StateChangeTest, LockNeedsNoManifestAndLastsUntilReboot) {
    ProcessResult lock = RunSign({"lock"});
    EXPECT_EQ(lock.status, 0);
    EXPECT_EQ(lock.out, "Veriexec state set to 'lock'\n");
    EXPECT_EQ(StateLine(), "state 0x08");

    ProcessResult again = RunSign({"lock"});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.out, "");
    EXPECT_EQ(again.err,
              "Error: veriexec is locked, state change to 'lock' is not possible (reboot "
              "required)\n");
}

TEST_F(StateChangeTest, LoadedTestComesBeforeLockedTest) {
    SetState("0x8");
    EXPECT_EQ(RunSign({"activate"}).err,
              "Error: 'activate' requires a loaded manifest (run 'pelmor-sign load' first)\n");
    SetState("0x9");
    ProcessResult enforce = RunSign({"enforce"});
    EXPECT_EQ(enforce.status, 1);
    EXPECT_EQ(enforce.err,
              "Error: veriexec is locked, state change to 'enforce' is not possible (reboot "
              "required)\n");
    EXPECT_EQ(StateLine(), "state 0x09");
}

TEST_F(StateChangeTest, DeviceFailuresAreWarnedWithTheSystemError) {
    SetState("1");
    ASSERT_EQ(RunEmulator({"device", "read-only"}).status, 0);
    ProcessResult readOnly = RunSign({"activate"});
    EXPECT_EQ(readOnly.status, 1);
    EXPECT_EQ(readOnly.err, "pelmor-sign: cannot open /dev/veriexec: Permission denied\n");

    ASSERT_EQ(RunEmulator({"device", "absent"}).status, 0);
    EXPECT_EQ(RunSign({"lock"}).err,
              "pelmor-sign: cannot open /dev/veriexec: No such file or directory\n");

    ASSERT_EQ(RunEmulator({"device", "present"}).status, 0);
    ASSERT_EQ(RunEmulator({"fail", "Enforce", "EBUSY"}).status, 0);
    ProcessResult refused = RunSign({"enforce"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err,
              "pelmor-sign: cannot set veriexec state 'enforce': Device or resource busy\n");
    EXPECT_EQ(StateLine(), "state 0x01");
}

TEST_F(StateChangeTest, MissingModuleStopsBeforeTheDevice) {
    ASSERT_EQ(RunEmulator({"kldunload", "mac_veriexec_sha256.ko"}).status, 0);
    SetState("1");
    ProcessResult result = RunSign({"activate"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Error: required kernel module 'mac_veriexec_sha256.ko' is not loaded\n");
    EXPECT_EQ(StateLine(), "state 0x01");
}

}  // namespace
