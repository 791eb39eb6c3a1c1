// load --key and check --key: what a signed manifest must pass before anything of it is used,
// and the serial that keeps an older manifest from being loaded again.
#include <unistd.h>

#include <fmt/core.h>

#include "support/test_support.h"

class SignedManifestTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        BootFacility();
        WriteFile(Path("tool"), "#!/bin/sh\n", 0755);
        otherId_ = MakeKeyPair(Path("other"));
        id_ = MakeKeyPair(Path("k"));
        Sign("m", 1);
    }
    // Writes the manifest NAME holding the tool's entry and signs it.
    void Sign(const std::string& name, int serial) {
        WriteFile(Path(name), ManifestLine(Path("tool"), Path("tool")));
        RunSign({"sign", "-k", "k.key", "--serial", std::to_string(serial), name});
    }
    ProcessResult Run(const std::string& command, const std::string& manifest,
                      const std::string& key = "k.pub") {
        return RunSign(Words(command + " --key " + key + " --serial-file db/serial " + manifest));
    }
    std::string Verified(const std::string& manifest, int serial, std::string signature = "") {
        return fmt::format("Verified {}: serial {}, key {}, signature {}\n", manifest, serial, id_,
                           signature.empty() ? manifest + ".sig" : signature);
    }

    std::string id_, otherId_;
};

TEST_F(SignedManifestTest, OnlyAWholeLoadRaisesTheSerialAndAnOlderManifestIsRefused) {
    const std::string loaded = "Loaded 1 entries (0 errors) from m\n";
    EXPECT_EQ(Run("load", "m"), Succeeded(Verified("m", 1) + loaded));
    EXPECT_EQ(ReadFile(Path("db/serial")), "1\n");
    Sign("m", 9);
    EXPECT_EQ(Run("load", "m").status + Run("load", "m").status, 0);
    EXPECT_EQ(ReadFile(Path("db/serial")), "9\n");

    // check reads the record but never writes it.
    Sign("old", 8);
    for (const auto& [command, status] : {std::pair{"load", 1}, {"check", 2}}) {
        EXPECT_EQ(Run(command, "old"),
                  (ProcessResult{status, "",
                                 "Error: manifest serial 8 is older than the last one loaded (9, "
                                 "recorded in db/serial): refusing a rollback\n"}));
    }
    // A newer one checks, and its metrics give the serial (its text is the link test's).
    Sign("new", 10);
    EXPECT_EQ(Run("check --metrics m.prom", "new").status, 0);
    EXPECT_NE(ReadFile(Path("m.prom")).find("\npelmor_sign_check_manifest_serial 10\n"),
              std::string::npos);
    // A load with an error raises nothing (the boot script's refresh faults test), but a load
    // whose output cannot be written raised the record all the same, and says so, so that
    // whoever reads its failure does not go back to an older manifest.
    Sign("m", 12);
    ChildOptions closed;
    closed.standardOutput = ChildStream::Closed;
    EXPECT_EQ(RunSignChild(Words("load --key k.pub --serial-file db/serial m"), closed),
              (ProcessResult{1, "",
                             "Error: cannot write standard output: Bad file descriptor\n"
                             "Warning: every entry of m was loaded, and the serial record "
                             "db/serial holds 12: only what followed failed\n"}));
    EXPECT_EQ(ReadFile(Path("db/serial")), "12\n");
    // A record that cannot be raised fails a load that sent every entry.
    Shell("rm -r db && ln -s nowhere db");
    EXPECT_EQ(
        Run("load", "m"),
        (ProcessResult{1, Verified("m", 12) + loaded,
                       "Error: cannot write serial file db/serial: No such file or directory\n"}));
}

TEST_F(SignedManifestTest, AnythingThatFailsToVerifyIsRefusedBeforeAnEntryIsSentOrChecked) {
    Shell("mkdir -p saved/db && cp m m.sig saved && echo 1 >saved/db/serial");
    const std::string unverified = "manifest signature does not verify: m (key ";
    // A change made by a shell command; the key given; the refusal.
    std::vector<std::tuple<std::string, std::string, std::string>> cases{
        {"sed -i '3s|^/|//|' m", "k.pub", unverified + id_ + ")"},
        {"", "other.pub", unverified + otherId_ + ")"},
        {"rm m.sig", "k.pub", "cannot read signature file m.sig: No such file or directory"},
        // Signed right, but without the header: nothing says how new it is.
        {"sed -i 1d m && openssl pkeyutl -sign -rawin -inkey k.key -in m -out m.sig", "k.pub",
         "manifest has no serial line: m"},
        {"chmod 664 m", "k.pub", "refusing m: writable by group or others"},
        {"chmod 646 m.sig", "k.pub", "refusing m.sig: writable by group or others"},
        {"chmod 666 db/serial", "k.pub", "refusing db/serial: writable by group or others"},
        // A link is judged by its target, and so is every folder on the way to either.
        {"cp k.pub open.pub && chmod 666 open.pub && ln -s open.pub link.pub", "link.pub",
         "refusing link.pub: writable by group or others"},
        {"mkdir -m 775 g && mv m m.sig g && ln -s g/m m", "k.pub",
         "refusing m: folder " + Path("g") + " is writable by group or others"},
        // The record is written, never through a link: nor is it read through one.
        {"mv db/serial db/s && ln -s s db/serial", "k.pub",
         "refusing db/serial: not a regular file"},
        {"echo 1x >db/serial", "k.pub",
         "cannot use serial file db/serial: it holds no serial, only damaged contents"}};
    if (std::string user = std::to_string(UnprivilegedUser); geteuid() == 0) {
        cases.push_back({"chown " + user + " m.sig", "k.pub",
                         "refusing m.sig: owned by user " + user + ", who could change it"});
    }
    for (const auto& [change, key, err] : cases) {
        for (const auto& [command, status] : {std::pair{"load", 1}, {"check", 2}}) {
            Shell("set -e; rm -rf m m.sig link.pub g db; cp -r saved/. .; " + change);
            BootFacility();
            EXPECT_EQ(Run(command, "m", key), (ProcessResult{status, "", "Error: " + err + "\n"}))
                << change;
            EXPECT_EQ(Entries(), "");
        }
    }
}

// The boot script switches a link from one signed manifest to the next, and sign writes the
// signature beside the link's target; an administrator's cp of a manifest and its signature
// onto the link's name writes the manifest through the link and the signature beside it.
// Either signature verifies the bytes read, and the line names the one that did.
TEST_F(SignedManifestTest, AManifestGivenAsALinkVerifiesWithTheSignatureBesideItsTargetOrTheLink) {
    // A folder that anyone may write to but only an entry's owner rename from, as /tmp.
    Shell("mkdir -m 1777 t && mkdir v2 && mv m v2/m && ln -s ../v2/m t/current");
    EXPECT_EQ(RunSign({"sign", "-k", "k.key", "--serial", "3", "t/current"}),
              Succeeded("Signed t/current: serial 3, key " + id_ + "\n"));
    const std::string loaded = "Loaded 1 entries (0 errors) from t/current\n";
    EXPECT_EQ(Run("load", "t/current").out, Verified("t/current", 3, Path("v2/m.sig")) + loaded);
    // Copied onto the link's name: the manifest lands in v2/m, its signature beside the link.
    Sign("web", 4);
    Shell("cp web t/current && cp web.sig t/current.sig");
    EXPECT_EQ(Run("load", "t/current").out, Verified("t/current", 4, "t/current.sig") + loaded);
    // Only the signature files read are judged: one beside the link that others can write is
    // refused once the target's does not verify, and never read while it does.
    Shell("cp t/current.sig v2/m.sig && chmod 646 t/current.sig");
    EXPECT_EQ(Run("load", "t/current").out, Verified("t/current", 4, Path("v2/m.sig")) + loaded);
    Shell("echo >>v2/m.sig");
    BootFacility();
    EXPECT_EQ(
        Run("load", "t/current"),
        (ProcessResult{1, "", "Error: refusing t/current.sig: writable by group or others\n"}));

    // Neither verifies, or neither is there: both are named.
    Shell("chmod 644 t/current.sig && sed -i 's|^/|//|' v2/m");
    EXPECT_EQ(Run("load", "t/current"),
              (ProcessResult{1, "",
                             fmt::format("Error: manifest signature does not verify: t/current "
                                         "(key {}; neither {} nor t/current.sig signs it)\n",
                                         id_, Path("v2/m.sig"))}));
    Shell("rm v2/m.sig t/current.sig");
    EXPECT_EQ(Run("load", "t/current"),
              (ProcessResult{1, "",
                             "Error: cannot read signature file " + Path("v2/m.sig") +
                                 " or t/current.sig: No such file or directory\n"}));
    EXPECT_EQ(Entries(), "");
}
