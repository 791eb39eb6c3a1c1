#include "support/test_support.h"

namespace {

using StateChangeTest = TempDirTest;

std::string NeedsManifest(const std::string& word) {
    return "Error: '" + word + "' requires a loaded manifest (run 'pelmor-sign load' first)\n";
}

std::string Locked(const std::string& word) {
    return "Error: veriexec is locked, state change to '" + word +
           "' is not possible (reboot required)\n";
}

TEST_F(StateChangeTest, EachChangeIsMadeOrRefusedWithItsReason) {
    for (const auto& [before, change, word, after, err] :
         {std::tuple<std::string, std::string, std::string, std::string, std::string>{
              "0", "", "activate", "0x00", NeedsManifest("activate")},
          {"1", "", "enforce", "0x07", ""},
          {"0", "", "lock", "0x08", ""},
          {"8", "", "lock", "0x08", Locked("lock")},
          // The loaded test comes before the locked test.
          {"8", "", "activate", "0x08", NeedsManifest("activate")},
          {"9", "", "enforce", "0x09", Locked("enforce")},
          {"1", "device read-only", "activate", "0x01",
           "pelmor-sign: cannot open /dev/veriexec: Permission denied\n"},
          {"1", "fail Enforce EBUSY", "enforce", "0x01",
           "pelmor-sign: cannot set veriexec state 'enforce': Device or resource busy\n"},
          {"1", "kldunload mac_veriexec_sha256.ko", "activate", "0x01",
           "Error: required kernel module 'mac_veriexec_sha256.ko' is not loaded\n"}}) {
        BootFacility();
        ASSERT_EQ(RunEmulator({"set-state", before}).status, 0);
        ASSERT_TRUE(change.empty() || RunEmulator(Words(change)).status == 0);
        ProcessResult result = RunSign({word});
        EXPECT_EQ(result.status, err.empty() ? 0 : 1) << word << " " << before;
        EXPECT_EQ(result.out, err.empty() ? "Veriexec state set to '" + word + "'\n" : "");
        EXPECT_EQ(result.err, err);
        EXPECT_EQ(Lines(Show()).front(), "state " + after + "\n");
    }
}

}  // namespace
