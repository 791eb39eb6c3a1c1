// keys install, and manifests verified against the keys file it installs: each test is an
// attack or a mistake that the keys file and its record stop.
#include <fmt/core.h>

#include <ctime>
#include <filesystem>

#include "keys/install.h"
#include "manifest/keys_file.h"
#include "manifest/signed_manifest.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
constexpr auto npos = std::string::npos;

class KeysInstallTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        BootFacility();
        WriteFile(Path("tool"), "#!/bin/sh\n", 0755);
        MakeKeyPair(Path("trusted"));
        for (const char* name : {"a", "b", "c"}) {
            ids_[name] = MakeKeyPair(Path(name));
        }
    }
    // Signs the keys file NAME, made of the keys and revocations given, with the root key.
    void Keys(const std::string& name, const std::string& keys, const std::string& revoked,
              uint64_t serial, const std::string& more = "") {
        // Without keys, the draft there is signed as it stands.
        if (!keys.empty()) {
            fs::remove(Path(name));
            ASSERT_EQ(RunSign(Words("keys add " + name + " " + keys)).status, 0);
        }
        for (const std::string& key : Words(revoked)) {
            ASSERT_EQ(RunSign({"keys", "revoke", name, FullKeyId(Path(key))}).status, 0);
        }
        ASSERT_EQ(RunSign(Words(fmt::format("keys sign -k trusted.key --serial {} --expires "
                                            "2099-01-01T00:00:00Z {} {}",
                                            serial, more, name)))
                      .status,
                  0);
    }
    // The manifest NAME of the tool's entry, signed with KEY.key.
    void Manifest(const std::string& name, const std::string& key, uint64_t serial) {
        WriteFile(Path(name), ManifestLine(Path("tool"), Path("tool")));
        ASSERT_EQ(
            RunSign({"sign", "-k", key + ".key", "--serial", std::to_string(serial), name}).status,
            0);
    }
    ProcessResult Install(const std::string& arguments, AuditLog* audit = nullptr) {
        return RunSign(Words("keys install " + arguments), audit);
    }
    ProcessResult Load(const std::string& manifest) {
        return WithoutOut(RunSign({"load", "--key", "trusted.pub", manifest}));
    }
    std::string Refused(const std::string& key, const std::string& manifest,
                        const std::string& why) {
        return fmt::format("Error: key {} of manifest {} {}\n", ids_[key], manifest, why);
    }

    std::map<std::string, std::string> ids_;
};

TEST_F(KeysInstallTest, AfterRotatingToBAManifestOfAIsRefusedWhateverItsSerial) {
    Keys("ab", "a.pub b.pub", "", 1);
    EXPECT_EQ(Install("ab"), Succeeded("Installed keys file ab as " + Path("keys") +
                                       ": serial 1, 2 keys, 0 revoked\n"));
    Manifest("ma", "a", 10);
    Manifest("mb", "b", 11);
    Manifest("mc", "c", 12);
    EXPECT_EQ(Load("ma"), Succeeded(""));
    EXPECT_EQ(Load("mb"), Succeeded(""));
    EXPECT_EQ(Load("mc"), Failed(Refused("c", "mc", "is not in the keys file " + Path("keys"))));
    // The root key signs the keys file, never a manifest, once a keys file is installed.
    Manifest("mroot", "trusted", 13);
    EXPECT_EQ(Load("mroot").status, 1);

    Keys("b", "b.pub", "", 2);
    ASSERT_EQ(Install("b").status, 0);
    Manifest("ma", "a", 20);
    EXPECT_EQ(Load("ma"), Failed(Refused("a", "ma", "is not in the keys file " + Path("keys"))));
    Manifest("mb", "b", 20);
    EXPECT_EQ(Load("mb"), Succeeded(""));
}

TEST_F(KeysInstallTest, AnOlderKeysFileOrTheSameSerialWithOtherBytesIsRefusedTheRecordUnchanged) {
    Keys("one", "a.pub b.pub", "", 1);
    ASSERT_EQ(Install("one").status, 0);
    Keys("two", "b.pub", "", 2);
    ASSERT_EQ(Install("two").status, 0);
    const std::string record = ReadFile("serial.keys");
    CollectedAudit audit;
    EXPECT_EQ(Install("one", &audit),
              Failed("Error: refusing keys file one: keys file serial 1 is older than the one "
                     "installed (2)\n"));
    Keys("other", "a.pub", "", 2);
    EXPECT_EQ(Install("other"),
              Failed("Error: refusing keys file other: keys file serial 2 is the one installed, "
                     "but with other contents\n"));
    EXPECT_EQ(ReadFile("serial.keys"), record);
    ASSERT_EQ(audit.lines.size(), 1u);
    EXPECT_NE(audit.lines[0].find("warning: user "), npos);
    // The same file again changes nothing.
    EXPECT_EQ(Install("two"), Succeeded("Keys file two is installed already: serial 2\n"));
    // A keys file swapped in place by hand, older or of other bytes, is refused at each use.
    Shell("cp one.sig $(readlink keys).sig && cp one $(readlink keys)");
    Manifest("mb", "b", 5);
    EXPECT_NE(Load("mb").err.find("older than the one recorded"), npos);
    EXPECT_EQ(ReadFile("serial.keys"), record);
}

TEST_F(KeysInstallTest, ARevocationStaysAndLetsTheRecordFallToTheFloor) {
    Keys("ab", "a.pub b.pub", "", 1);
    ASSERT_EQ(Install("ab").status, 0);
    // A thief with key A loads a manifest of the highest serial.
    Manifest("ma", "a", uint64_t{1} << 62);
    ASSERT_EQ(Load("ma"), Succeeded(""));
    Manifest("mb", "b", 100);
    EXPECT_NE(Load("mb").err.find("refusing a rollback"), npos);

    Keys("ab", "b.pub", "a", 2, "--floor 100");
    EXPECT_EQ(Install("ab"), Succeeded("Installed keys file ab as " + Path("keys") +
                                       ": serial 2, 1 keys, 1 revoked; the serial record falls "
                                       "to its floor, 100\n"));
    EXPECT_EQ(ReadFile("serial"), "100\n");
    EXPECT_EQ(Load("mb"), Succeeded(""));
    Manifest("ma", "a", (uint64_t{1} << 62) + 1);
    EXPECT_EQ(Load("ma"), Failed(Refused("a", "ma", "is revoked")));
    // A later keys file that omits the revocation does not undo it.
    Keys("later", "b.pub", "", 3);
    ASSERT_EQ(Install("later").status, 0);
    EXPECT_EQ(Load("ma"), Failed(Refused("a", "ma", "is revoked")));
}

TEST_F(KeysInstallTest, ExpiryRefusesAnythingNewButTheRecordedManifestKeepsLoading) {
    // An expired keys file, signed by hand since keys sign refuses a past date.
    Keys("old", "a.pub", "", 1);
    Shell(
        "sed -i 's/^expires .*/expires 2001-01-01T00:00:00Z/' old && (printf 'pelmor-sign keys "
        "file signature 1\\n'; cat old) >ctx && openssl pkeyutl -sign -rawin -inkey "
        "trusted.key -in ctx -out old.sig");
    EXPECT_EQ(Install("old"), Failed("Error: keys file old expired at 2001-01-01T00:00:00Z\n"));
    EXPECT_FALSE(fs::exists(Path("serial.keys")));

    Keys("a", "a.pub", "", 1);
    ASSERT_EQ(Install("a").status, 0);
    Manifest("ma", "a", 10);
    ASSERT_EQ(Load("ma"), Succeeded(""));
    ASSERT_EQ(RunSign({"keys", "add", "--not-after", "2001-01-01T00:00:00Z", "a", "a.pub"}).status,
              0);
    Keys("a", "", "", 2);
    ASSERT_EQ(Install("a").status, 0);
    const std::string warning = "Warning: ma: key " + ids_["a"] +
                                " is past its not-after date (2001-01-01T00:00:00Z); it signs no "
                                "newer manifest\n";
    EXPECT_EQ(Load("ma"), (ProcessResult{0, "", warning}));
    Manifest("ma", "a", 11);
    EXPECT_EQ(Load("ma"),
              Failed("Error: manifest ma has serial 11, above the record, but key " + ids_["a"] +
                     " is past its not-after date (2001-01-01T00:00:00Z)\n"));
    // Nor another manifest of the serial recorded.
    WriteFile(Path("ma"), ManifestLine(Path("tool"), Path("tool")) + TrustedProgramLine());
    ASSERT_EQ(RunSign(Words("sign -k a.key --serial 10 ma")).status, 0);
    EXPECT_NE(Load("ma").err.find("manifest ma has serial 10, the one recorded, but"), npos);
}

// Revoking the key that signed the manifest in place would leave the next boot nothing to load.
TEST_F(KeysInstallTest,
       InstallRefusesAKeysFileTheManifestInPlaceFailsUnderUnlessGivenOneThatPasses) {
    Keys("ab", "a.pub b.pub", "", 1);
    ASSERT_EQ(Install("ab").status, 0);
    Manifest("manifest", "a", 10);
    Keys("b", "b.pub", "a", 2);
    CollectedAudit audit;
    EXPECT_EQ(
        Install("b", &audit),
        Failed("Error: refusing keys file b: the manifest in place " + Path("manifest") +
               " would not verify under it (key " + ids_["a"] + " of manifest " + Path("manifest") +
               " is revoked); give a replacement signed by one of its keys with --with\n"));
    EXPECT_EQ(audit.lines.size(), 1u);
    Manifest("next", "b", 11);
    EXPECT_EQ(Install("--with next b"), Succeeded("Installed keys file b as " + Path("keys") +
                                                  ": serial 2, 1 keys, 1 "
                                                  "revoked; " +
                                                  Path("manifest") + " replaced by next\n"));
    EXPECT_EQ(fs::read_symlink(Path("manifest")), "manifest.a");
    EXPECT_EQ(ReadFile("manifest"), ReadFile("next"));
    EXPECT_EQ(Load("manifest"), Succeeded(""));
}

// A crash at any step of an install leaves a pair of keys file and manifest that loads: the old
// one or the new one, on a host's first install, from a manifest the root key signed, as on a
// later one.
TEST_F(KeysInstallTest, ACrashAtAnyStepLeavesAHostWhoseManifestLoads) {
    auto load = [this](const std::string& manifest) {
        return RunSign(
                   Words("load --key trusted.pub --keys h/keys --serial-file h/serial " + manifest))
            .status;
    };
    for (bool first : {true, false}) {
        // Only a first install announces its keys file.
        for (int stop = first ? 0 : 1; stop <= static_cast<int>(InstallStep::Recorded); ++stop) {
            Shell("rm -rf h && mkdir h");
            Manifest("h/m", first ? "trusted" : "a", 1u << 20);
            if (!first) {
                Keys("h/ab", "a.pub b.pub", "", 1);
                ASSERT_EQ(
                    Install("--keys h/keys --serial-file h/serial --manifest h/m h/ab").status, 0);
            }
            ASSERT_EQ(load("h/m"), 0);
            Keys("h/c", "c.pub", "a", 2, "--floor 5");
            // The floor lets the record fall only below a serial that a revoked key signed.
            const uint64_t next = first ? (1u << 20) + 1 : 5;
            Manifest("h/next", "c", next);
            KeysInstallSettings settings{"h/c",      "trusted.pub", "h/keys",
                                         "h/serial", "h/m",         "h/next"};
            settings.stepDone = [stop](InstallStep step) { return static_cast<int>(step) != stop; };
            EXPECT_EQ(InstallKeys(settings), 1);
            BootFacility();
            EXPECT_EQ(load("h/m"), 0)
                << (first ? "first install" : "") << " stopped after step " << stop;
            // Once the new keys file is in place, key A, which it revokes, signs nothing but the
            // manifest recorded: no other at its serial, nor at the floor the record falls to.
            for (uint64_t serial : {uint64_t{5}, uint64_t{1} << 20}) {
                if (first || stop >= static_cast<int>(InstallStep::KeysSwitched)) {
                    WriteFile(Path("h/thief"), ManifestLine(Path("h/c"), Path("h/c")));
                    ASSERT_EQ(
                        RunSign(Words(fmt::format("sign -k a.key --serial {} h/thief", serial)))
                            .status,
                        0);
                    EXPECT_EQ(load("h/thief"), 1) << first << stop << " " << serial;
                }
            }
            // Installed again, the keys file completes what was cut short.
            settings.stepDone = [](InstallStep) { return true; };
            EXPECT_EQ(InstallKeys(settings), 0) << stop;
            EXPECT_EQ(load("h/m"), 0) << stop;
            EXPECT_EQ(ReadFile("h/serial"), std::to_string(next) + "\n");
        }
    }
}

// A load that ends while a keys install runs adds its signer to the records that the install
// raised, and never writes back the ones it read before.
TEST_F(KeysInstallTest, ALoadEndingAfterAnInstallKeepsWhatTheInstallRecorded) {
    Keys("ab", "a.pub b.pub", "", 1);
    ASSERT_EQ(Install("ab").status, 0);
    Manifest("ma", "a", 10);
    const SignatureSettings settings{"trusted.pub", "serial", "keys"};
    VerifiedManifest read;
    ASSERT_EQ(ReadVerifiedManifest("ma", settings, read), "");
    Keys("b", "b.pub", "a", 2);
    ASSERT_EQ(Install("b").status, 0);
    EXPECT_EQ(RaiseRecordedSerial(settings, read), "");
    EXPECT_NE(ReadFile("serial.keys").find("keys-serial 2\n"), npos);
    EXPECT_EQ(Load("ma"), Failed(Refused("a", "ma", "is revoked")));
    // Locked through a file that no other user can open, and so hold; one they could is refused.
    EXPECT_EQ(fs::status("serial.lock").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions("serial.lock", fs::perms::others_read, fs::perm_options::add);
    EXPECT_EQ(Install("b"), Failed("Error: refusing lock file " + Path("serial.lock") +
                                   ": group or others can open it, and hold it (chmod 0600 it)\n"));
    fs::remove("serial.lock");
    fs::create_directory("serial.lock");
    EXPECT_EQ(Install("b"), Failed("Error: refusing lock file " + Path("serial.lock") +
                                   ": not a regular file\n"));
}

TEST_F(KeysInstallTest, UnderEnforceOnlyTheInstalledKeysFileCountsAndAMissingOneIsRefused) {
    Keys("ab", "a.pub b.pub", "", 1);
    ASSERT_EQ(Install("ab").status, 0);
    WriteFile("m", ManifestLine(Path("tool"), Path("tool")) + TrustedProgramLine());
    ASSERT_EQ(RunSign({"sign", "-k", "a.key", "--serial", "1", "m"}).status, 0);
    ASSERT_EQ(Load("m"), Succeeded(""));
    ASSERT_EQ(RunSign({"enforce"}).status, 0);
    EXPECT_EQ(Load("m"), Succeeded(""));
    Shell("mkdir o && cp -P keys keys.a keys.a.sig o/");
    const std::string enforcing = "Error: veriexec is enforcing: ";
    EXPECT_EQ(WithoutOut(RunSign(Words("load --key trusted.pub --keys o/keys m"))),
              Failed(enforcing + "only the keys file " + Path("keys") + " is used\n"));
    // Nor does keys install take another keys file, serial file or root key.
    EXPECT_EQ(Install("--keys o/keys ab"),
              Failed(enforcing + "only the keys file " + Path("keys") + " is used\n"));
    EXPECT_EQ(Install("--serial-file o/serial ab"),
              Failed(enforcing + "only the serial file " + Path("serial") + " is used\n"));
    EXPECT_EQ(Install("--key a.pub ab"),
              Failed(enforcing + "only the key " + Path("trusted.pub") + " is accepted\n"));
    // So too where the facility is there but cannot tell whether it enforces, after a warning.
    for (const char* fault : {"fail GetState EIO", "device write-only"}) {
        ASSERT_EQ(RunEmulator(Words(fault)).status, 0);
        EXPECT_EQ(Install("--key a.pub ab").err, RunSign({"status"}).err + enforcing +
                                                     "only the key " + Path("trusted.pub") +
                                                     " is accepted\n");
    }
    ASSERT_EQ(RunEmulator(Words("device present")).status +
                  RunEmulator(Words("fail GetState off")).status,
              0);
    // A host that enforces booted from a manifest: none where the install looks is a wrong name.
    Keys("abc", "a.pub b.pub c.pub", "", 2);
    EXPECT_EQ(Install("abc"),
              Failed("Error: refusing keys file abc: there is no manifest " + Path("manifest") +
                     " to check under it: name the manifest that the boot script "
                     "loads with --manifest, or give one with --with\n"));
    // Another root key verifies no keys file of this host.
    EXPECT_NE(RunSign(Words("load --key a.pub m")).err.find("keys file signature does not verify"),
              npos);
    // Deleted, the keys file is refused: never root-direct.
    Shell("rm keys keys.a keys.a.sig");
    EXPECT_EQ(Load("m").status, 1);
    EXPECT_NE(Load("m").err.find("cannot read keys file"), npos);
    // And without its record, a keys file in place is refused too, even for the root key.
    Shell("cp -P o/keys o/keys.a o/keys.a.sig . && rm serial.keys");
    ASSERT_EQ(RunSign({"sign", "-k", "trusted.key", "--serial", "2", "m"}).status, 0);
    EXPECT_EQ(Load("m"),
              Failed(enforcing + "the keys file " + Path("keys") + " is not recorded in " +
                     Path("serial.keys") + ": install it with 'keys install'\n"));
}
