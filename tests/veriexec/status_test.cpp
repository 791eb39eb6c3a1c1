#include <nlohmann/json.hpp>

#include "support/test_support.h"

using StatusTest = TempDirTest;

TEST_F(StatusTest, PrintsStateInOctalThenOneLinePerNameOrWarnsWhyItCannot) {
    for (const auto& [change, out, err] :
         {std::tuple<std::string, std::string, std::string>{"set-state 0", "0\n  INACTIVE\n", ""},
          {"set-state 0xF", "017\n  LOADED\n  ACTIVE\n  ENFORCE\n  LOCKED\n", ""},
          {"set-state 0x18", "030\n  LOCKED\n", ""},
          // Reading the state needs no write access.
          {"device read-only", "0\n  INACTIVE\n", ""},
          {"device write-only", "", "cannot open /dev/veriexec: Permission denied"},
          {"fail GetState EIO", "", "cannot get veriexec state: Input/output error"}}) {
        BootFacility();
        ASSERT_EQ(RunEmulator(Words(change)).status, 0);
        EXPECT_EQ(RunSign({"status"}), err.empty() ? Succeeded("Veriexec state: " + out)
                                                   : Failed("pelmor-sign: " + err + "\n"))
            << change;
        // As JSON: the same state, as a number, and names.
        if (std::vector<std::string> words = Words(out); err.empty()) {
            EXPECT_EQ(nlohmann::json::parse(RunSign({"status", "--format", "json"}).out),
                      (nlohmann::json{{"state", std::stoi(words[0], nullptr, 8)},
                                      {"names", std::vector(words.begin() + 1, words.end())}}));
        }
    }
    // Only the first missing module is reported.
    BootFacility({"--without", "mac_veriexec.ko", "--without", "mac_veriexec_sha512.ko"});
    EXPECT_EQ(RunSign({"status"}).err,
              "Error: required kernel module 'mac_veriexec.ko' is not loaded\n");
    ASSERT_EQ(RunEmulator({"kldload", "mac_veriexec.ko"}).status, 0);
    EXPECT_EQ(RunSign({"status"}).err,
              "Error: required kernel module 'mac_veriexec_sha512.ko' is not loaded\n");
    // A kernel with the facility compiled in has no file for kldfind(2) to find.
    BootFacility({"--compiled-in", "veriexec.ko", "--compiled-in", "mac_veriexec_sha512.ko"});
    EXPECT_EQ(RunSign({"status"}), Succeeded("Veriexec state: 0\n  INACTIVE\n"));
}
