// load --key and check --key: what a signed manifest must pass before anything of it is used,
// and the serial that keeps an older manifest from being loaded again.
#include <unistd.h>

#include <filesystem>

#include "support/test_support.h"

namespace {

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
    void Sign(const std::string& name, int serial, const std::string& more = "") {
        WriteFile(Path(name), ManifestLine(Path("tool"), Path("tool")) + more);
        RunSign({"sign", "-k", "k.key", "--serial", std::to_string(serial), name});
    }
    ProcessResult Run(const std::string& command, const std::string& manifest,
                      const std::string& key = "k.pub") {
        return RunSign({command, "--key", key, "--serial-file", "db/serial", manifest});
    }
    std::string Verified(const std::string& manifest, int serial) {
        return "Verified " + manifest + ": serial " + std::to_string(serial) + ", key " + id_ +
               "\n";
    }

    std::string id_;
    std::string otherId_;
};

TEST_F(SignedManifestTest, OnlyAWholeLoadRaisesTheSerialAndAnOlderManifestIsRefused) {
    ProcessResult first = Run("load", "m");
    EXPECT_EQ(first.out + first.err, Verified("m", 1) + "Loaded 1 entries (0 errors) from m\n");
    EXPECT_EQ(ReadFile(Path("db/serial")), "1\n");
    Sign("m", 9);
    EXPECT_EQ(Run("load", "m").status + Run("load", "m").status, 0);
    EXPECT_EQ(ReadFile(Path("db/serial")), "9\n");

    // check reads the record but never writes it.
    Sign("old", 8);
    for (const char* command : {"load", "check"}) {
        ProcessResult rollback = Run(command, "old");
        EXPECT_EQ(rollback.status, 1);
        EXPECT_EQ(rollback.out + rollback.err,
                  "Error: manifest serial 8 is older than the last one loaded (9, recorded in "
                  "db/serial): refusing a rollback\n");
    }
    Sign("new", 10);
    ProcessResult check = Run("check", "new");
    EXPECT_EQ(check.out + check.err,
              Verified("new", 10) +
                  "Checked 1 entries: 1 unchanged, 0 changed, 0 missing, 0 unreadable\n");
    // Nor does a load with an error.
    Sign("bad", 11, Path("gone") + " sha512=00\n");
    EXPECT_EQ(Run("load", "bad").status, 1);
    EXPECT_EQ(ReadFile(Path("db/serial")), "9\n");
    // A record that cannot be raised fails a load that sent every entry.
    Shell("rm -r db && ln -s nowhere db");
    ProcessResult unrecorded = Run("load", "m");
    EXPECT_EQ(unrecorded.status, 1);
    EXPECT_EQ(Lines(unrecorded.out).back(), "Loaded 1 entries (0 errors) from m\n");
    EXPECT_EQ(unrecorded.err,
              "Error: cannot write serial file db/serial: No such file or directory\n");
}

TEST_F(SignedManifestTest, AnythingThatFailsToVerifyIsRefusedBeforeAnEntryIsSentOrChecked) {
    const std::string manifest = ReadFile(Path("m")), signature = ReadFile(Path("m.sig"));
    const std::string unverified = "Error: manifest signature does not verify: m (key ";
    const std::string damaged =
        "Error: cannot use serial file db/serial: it holds no serial, "
        "only damaged contents\n";
    // A change made by a shell command; the key given; the refusal.
    std::vector<std::tuple<std::string, std::string, std::string>> cases{
        {"echo '/bin/sh sha512=00' >>m", "k.pub", unverified + id_ + ")\n"},
        {"sed -i '2s|^/|//|' m", "k.pub", unverified + id_ + ")\n"},
        {"", "other.pub", unverified + otherId_ + ")\n"},
        {"rm m.sig", "k.pub",
         "Error: cannot read signature file m.sig: No such file or directory\n"},
        // Signed right, but without the header: nothing says how new it is.
        {"sed -i 1d m && openssl pkeyutl -sign -rawin -inkey k.key -in m -out m.sig", "k.pub",
         "Error: manifest has no serial line: m\n"},
        {"chmod 664 m", "k.pub", "Error: refusing m: writable by group or others\n"},
        {"chmod 646 m.sig", "k.pub", "Error: refusing m.sig: writable by group or others\n"},
        {"chmod 666 db/serial", "k.pub",
         "Error: refusing db/serial: writable by group or others\n"},
        // A link is judged by its target, and so is every folder on the way to either.
        {"cp k.pub open.pub && chmod 666 open.pub && ln -s open.pub link.pub", "link.pub",
         "Error: refusing link.pub: writable by group or others\n"},
        {"mkdir -m 777 open && cp k.pub open", "open/k.pub",
         "Error: refusing open/k.pub: folder open is writable by group or others\n"},
        {"mkdir -m 775 g && mv m m.sig g && ln -s g/m m", "k.pub",
         "Error: refusing m: folder " + Path("g") + " is writable by group or others\n"},
        // The record is written, never through a link: nor is it read through one.
        {"mv db/serial db/real && ln -s real db/serial", "k.pub",
         "Error: refusing db/serial: not a regular file\n"},
        {"echo 1x >db/serial", "k.pub",
         "Error: cannot use serial file db/serial: it holds no serial, only damaged contents\n"},
        {"", "k.key", "Error: unsupported key k.key: not a PEM public key\n"}};
    if (geteuid() == 0) {
        cases.push_back({"chown " + std::to_string(UnprivilegedUser) + " m.sig", "k.pub",
                         "Error: refusing m.sig: owned by user " +
                             std::to_string(UnprivilegedUser) + ", who could change it\n"});
    }
    for (const auto& [change, key, err] : cases) {
        for (const char* command : {"load", "check"}) {
            Shell("rm -rf m link.pub open g db");
            WriteFile(Path("m"), manifest);
            WriteFile(Path("m.sig"), signature);
            WriteFile(Path("db/serial"), "1\n");
            Shell(change);
            BootFacility();
            ProcessResult result = Run(command, "m", key);
            EXPECT_EQ(result.status, 1) << err;
            EXPECT_EQ(result.out + result.err, err);
            EXPECT_EQ(Entries(), "");
        }
    }
}

// The boot script switches a link from one signed manifest to the next: each is verified with
// the signature beside it, where sign writes it, never with one beside the link.
TEST_F(SignedManifestTest, AManifestGivenAsALinkHasItsSignatureBesideTheLinksTarget) {
    // A folder that anyone may write to but only an entry's owner rename from, as /tmp.
    Shell("mkdir -m 1777 t && mkdir v1 v2 && mv m v1/m && ln -s ../v1/m t/current");
    ProcessResult signing = RunSign({"sign", "-k", "k.key", "--serial", "2", "t/current"});
    EXPECT_EQ(signing.out + signing.err, "Signed t/current: serial 2, key " + id_ + "\n");
    Sign("v2/m", 3);
    // Signed beside v1/m, moved beside the link: not used there.
    Shell("mv v1/m.sig t/current.sig && ln -sfn ../v2/m t/current");
    EXPECT_EQ(Run("load", "t/current").out,
              Verified("t/current", 3) + "Loaded 1 entries (0 errors) from t/current\n");
}

}  // namespace
