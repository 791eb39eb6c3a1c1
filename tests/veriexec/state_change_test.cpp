#include <unistd.h>

#include <cstdio>

#include "support/test_support.h"

using StateChangeTest = TempDirTest;

const std::string NeedsManifest =
    "Error: 'activate' requires a loaded manifest (run 'pelmor-sign load' first)\n";

static std::string Locked(const std::string& word) {
    return "Error: veriexec is locked, state change to '" + word +
           "' is not possible (reboot required)\n";
}

TEST_F(StateChangeTest, EachChangeIsMadeOrRefusedWithItsReason) {
    for (const auto& [before, change, word, after, err] :
         {std::tuple<std::string, std::string, std::string, std::string, std::string>{
              "0", "", "activate", "0x00", NeedsManifest},
          {"0", "", "lock", "0x08", ""},
          {"8", "", "lock", "0x08", Locked("lock")},
          // The loaded test comes before the locked test.
          {"8", "", "activate", "0x08", NeedsManifest},
          {"9", "", "enforce", "0x09", Locked("enforce")},
          {"1", "device read-only", "activate", "0x01",
           "pelmor-sign: cannot open /dev/veriexec: Permission denied\n"},
          {"1", "kldunload mac_veriexec_sha256.ko", "activate", "0x01",
           "Error: required kernel module 'mac_veriexec_sha256.ko' is not loaded\n"}}) {
        BootFacility();
        ASSERT_EQ(RunEmulator({"set-state", before}).status, 0);
        ASSERT_TRUE(change.empty() || RunEmulator(Words(change)).status == 0);
        EXPECT_EQ(RunSign({word}),
                  err.empty() ? Succeeded("Veriexec state set to '" + word + "'\n") : Failed(err))
            << word << " " << before;
        EXPECT_EQ(Lines(RunEmulator({"show"}).out).front(), "state " + after + "\n");
    }
}

// Under enforce the facility answers every request but the state query (which the boot script's
// test meets from an untrusted program) only for a program whose file is loaded as trusted,
// under any name, and whose content still matches; load itself then takes only a manifest
// signed with the installed key and held against the installed serial record. Trust is looked
// up in the table as it stands at each request: a lock that it grants is the boot script's test.
TEST_F(StateChangeTest, UnderEnforceOnlyATrustedProgramLoadsOrChangesTheState) {
    WriteFile(Path("tool"), "#!/bin/sh\n", 0755);
    MakeKeyPair(Path("trusted"));
    auto load = [](const std::string& manifest, const std::string& serialFile = SerialFile) {
        WriteFile("m", manifest);
        RunSign({"sign", "-k", "trusted.key", "--serial", "1", "m"});
        return RunSign({"load", "--key", "trusted.pub", "--serial-file", serialFile, "m"});
    };
    const std::string tool = ManifestLine(Path("tool"), Path("tool")),
                      program = TrustedProgramLine(), enforcing = "Error: veriexec is enforcing";
    const std::string distrust =
        enforcing +
        " and does not trust this program: its entry is missing, was replaced (as by "
        "an upgrade of pelmor-sign itself) or lacks the trusted flag; reboot with the "
        "facility active to load a new manifest\n";
    std::string wrongDigest = program, untrusted = program, linked = program;
    wrongDigest.replace(wrongDigest.find("sha512=") + 7, 128, std::string(128, '0'));
    untrusted.erase(untrusted.find(" trusted"), 8);
    linked.replace(0, linked.find(' '), Path("link"));
    ASSERT_EQ(symlink(Words(program)[0].c_str(), Path("link").c_str()), 0);
    // Nothing is sent that is held against another serial record than the installed one, or
    // against none (none is here yet): an older manifest would load. (An unsigned one, or one
    // signed with another key, is the loader test's enforce between two entries.)
    BootFacility();
    ASSERT_EQ(load(tool + program, "boot").status + RunSign({"enforce"}).status, 0);
    const std::string table = Entries();
    EXPECT_EQ(load("fresh sha512=00\n", "/nonexistent").err,
              enforcing + ": only the serial file " + Path(SerialFile) + " is used\n");
    EXPECT_EQ(load("fresh sha512=00\n").err,
              enforcing + ": no record of the last serial in " + Path(SerialFile) + "\n");
    EXPECT_EQ(Entries(), table);
    WriteFile(SerialFile, "1\n");
    for (const auto& [manifest, trusted] : {std::pair<std::string, bool>{tool + program, true},
                                            {tool + linked, true},
                                            {tool, false},
                                            {tool + untrusted, false},
                                            {tool + wrongDigest, false}}) {
        BootFacility();
        ASSERT_EQ(load(manifest).status + RunSign({"enforce"}).status, 0);
        const std::string before = Entries();
        // An untrusted program says so at the first entry refused, and sends no other; a trusted
        // one's own entry, loaded again without the flag, refuses the next request.
        EXPECT_EQ(WithoutOut(load(tool + untrusted)), trusted ? Succeeded("") : Failed(distrust))
            << manifest;
        EXPECT_EQ(Entries() == before, !trusted);
        EXPECT_EQ(RunSign({"lock"}).err,
                  "pelmor-sign: cannot set veriexec state 'lock': Operation not permitted\n");
    }
}
