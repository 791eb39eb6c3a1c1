#include <iterator>
#include <sstream>

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
    struct Case {
        const char* before;
        const char* change;  // an emulator command run first, if any
        std::string word;
        const char* after;
        std::string out;
        std::string err;
    } cases[] = {
        {"0", "", "activate", "0x00", "", NeedsManifest("activate")},
        {"0", "", "enforce", "0x00", "", NeedsManifest("enforce")},
        {"1", "", "activate", "0x03", "Veriexec state set to 'activate'\n", ""},
        {"1", "", "enforce", "0x07", "Veriexec state set to 'enforce'\n", ""},
        {"0", "", "lock", "0x08", "Veriexec state set to 'lock'\n", ""},
        {"8", "", "lock", "0x08", "", Locked("lock")},
        // The loaded test comes before the locked test.
        {"8", "", "activate", "0x08", "", NeedsManifest("activate")},
        {"9", "", "enforce", "0x09", "", Locked("enforce")},
        {"1", "device read-only", "activate", "0x01", "",
         "pelmor-sign: cannot open /dev/veriexec: Permission denied\n"},
        {"1", "device absent", "lock", "0x01", "",
         "pelmor-sign: cannot open /dev/veriexec: No such file or directory\n"},
        {"1", "fail Enforce EBUSY", "enforce", "0x01", "",
         "pelmor-sign: cannot set veriexec state 'enforce': Device or resource busy\n"},
        {"1", "kldunload mac_veriexec_sha256.ko", "activate", "0x01", "",
         "Error: required kernel module 'mac_veriexec_sha256.ko' is not loaded\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before + (" " + c.word) + " " + c.err);
        BootFacility();
        ASSERT_EQ(RunEmulator({"set-state", c.before}).status, 0);
        std::istringstream change(c.change);
        std::vector<std::string> command{std::istream_iterator<std::string>(change), {}};
        ASSERT_TRUE(command.empty() || RunEmulator(command).status == 0);
        ProcessResult result = RunSign({c.word});
        EXPECT_EQ(result.status, c.err.empty() ? 0 : 1);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, c.err);
        std::string show = Show();
        EXPECT_EQ(show.substr(0, show.find('\n')), std::string("state ") + c.after);
    }
}

}  // namespace
