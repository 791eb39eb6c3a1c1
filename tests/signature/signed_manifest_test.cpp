// load --key and check --key: what a signed manifest must pass before anything of it is used,
// and the serial that keeps an older manifest from being loaded again.
#include <fmt/core.h>
#include <sys/stat.h>

#include <unistd.h>

#include <filesystem>
#include <functional>

#include "support/test_support.h"

namespace {

class SignedManifestTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        BootFacility();
        WriteFile(Path("tool"), "#!/bin/sh\n", 0755);
        MakeKeyPair(Path("k"));
        MakeKeyPair(Path("other"));
        otherId_ = Words(Sign("m", 1, "other").out).back();
        id_ = Words(Sign("m", 1, "k").out).back();
    }
    // Writes the manifest NAME holding the tool's entry and signs it with KEY.
    ProcessResult Sign(const std::string& name, int serial, const std::string& key) {
        WriteFile(Path(name), ManifestLine(Path("tool"), Path("tool")));
        return RunSign(
            {"sign", "-k", Path(key + ".key"), "--serial", std::to_string(serial), Path(name)});
    }
    ProcessResult Run(const std::string& command, const std::string& manifest,
                      const std::string& key = "k.pub") {
        return RunSign(
            {command, "--key", Path(key), "--serial-file", Path("db/serial"), Path(manifest)});
    }
    std::string Verified(const std::string& manifest, int serial) {
        return fmt::format("Verified {}: serial {}, key {}\n", Path(manifest), serial, id_);
    }

    std::string id_;
    std::string otherId_;
};

TEST_F(SignedManifestTest, LoadRecordsTheSerialAndRefusesAnOlderManifestButNotTheSame) {
    ProcessResult first = Run("load", "m");
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, Verified("m", 1) + "Loaded 1 entries (0 errors) from " + Path("m") + "\n");
    EXPECT_EQ(ReadFile(Path("db/serial")), "1\n");
    Sign("m", 9, "k");
    EXPECT_EQ(Run("load", "m").status, 0);
    EXPECT_EQ(Run("load", "m").status, 0);
    EXPECT_EQ(ReadFile(Path("db/serial")), "9\n");

    // check reads the record but never writes it.
    Sign("old", 8, "k");
    for (const char* command : {"load", "check"}) {
        ProcessResult rollback = Run(command, "old");
        EXPECT_EQ(rollback.status, 1);
        EXPECT_EQ(rollback.out, "");
        EXPECT_EQ(rollback.err,
                  "Error: manifest serial 8 is older than the last one loaded (9, "
                  "recorded in " +
                      Path("db/serial") + "): refusing a rollback\n");
    }
    Sign("new", 10, "k");
    ProcessResult check = Run("check", "new");
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(check.out,
              Verified("new", 10) +
                  "Checked 1 entries: 1 unchanged, 0 changed, 0 missing, 0 unreadable\n");
    EXPECT_EQ(ReadFile(Path("db/serial")), "9\n");

    // A load with an error leaves the record as it was.
    WriteFile(Path("new"), ReadFile(Path("new")) + Path("gone") + " sha512=00\n");
    RunSign({"sign", "-k", Path("k.key"), "--serial", "11", Path("new")});
    ProcessResult failed = Run("load", "new");
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(ReadFile(Path("db/serial")), "9\n");
}

TEST_F(SignedManifestTest, AnythingThatFailsToVerifyIsRefusedBeforeAnEntryIsSentOrChecked) {
    std::string signature = ReadFile(Path("m.sig"));
    std::string manifest = ReadFile(Path("m"));
    auto restore = [&] {
        WriteFile(Path("m"), manifest);
        WriteFile(Path("m.sig"), signature);
        WriteFile(Path("db/serial"), "1\n");
    };
    auto unverified = [this](const std::string& id) {
        return "Error: manifest signature does not verify: " + Path("m") + " (key " + id + ")\n";
    };
    std::vector<std::tuple<std::function<void()>, std::string, std::string>> cases{
        {[&] { WriteFile(Path("m"), manifest + "/bin/sh sha512=00\n"); }, "k.pub", unverified(id_)},
        {[&] {
             std::string changed = manifest;
             changed[changed.size() - 2] ^= 1;
             WriteFile(Path("m"), changed);
         },
         "k.pub", unverified(id_)},
        {[] {}, "other.pub", unverified(otherId_)},
        {[&] { std::filesystem::remove(Path("m.sig")); }, "k.pub",
         "Error: cannot read signature file " + Path("m.sig") + ": No such file or directory\n"},
        // Signed right, but without the header: nothing says how new it is.
        {[&] {
             WriteFile(Path("m"), manifest.substr(manifest.find('\n') + 1));
             RunProgram({"openssl", "pkeyutl", "-sign", "-rawin", "-inkey", Path("k.key"), "-in",
                         Path("m"), "-out", Path("m.sig")});
         },
         "k.pub", "Error: manifest has no serial line: " + Path("m") + "\n"},
        {[&] { chmod(Path("m").c_str(), 0664); }, "k.pub",
         "Error: refusing " + Path("m") + ": writable by group or others\n"},
        {[&] { chmod(Path("m.sig").c_str(), 0646); }, "k.pub",
         "Error: refusing " + Path("m.sig") + ": writable by group or others\n"},
        {[&] { chmod(Path("db/serial").c_str(), 0666); }, "k.pub",
         "Error: refusing " + Path("db/serial") + ": writable by group or others\n"},
        // A link is judged by its target.
        {[&] {
             WriteFile(Path("open.pub"), ReadFile(Path("k.pub")), 0666);
             std::filesystem::create_symlink(Path("open.pub"), Path("link.pub"));
         },
         "link.pub", "Error: refusing " + Path("link.pub") + ": writable by group or others\n"},
        {[&] { WriteFile(Path("db/serial"), "1x\n"); }, "k.pub",
         "Error: cannot use serial file " + Path("db/serial") +
             ": it holds no serial, only damaged contents\n"},
        {[&] { WriteFile(Path("db/serial"), ""); }, "k.pub",
         "Error: cannot use serial file " + Path("db/serial") +
             ": it holds no serial, only damaged contents\n"},
        {[] {}, "k.key", "Error: unsupported key " + Path("k.key") + ": not a PEM public key\n"}};
    if (geteuid() == 0) {
        cases.push_back({[&] { chown(Path("m.sig").c_str(), UnprivilegedUser, 0); }, "k.pub",
                         fmt::format("Error: refusing {}: owned by user {}, who could change it\n",
                                     Path("m.sig"), UnprivilegedUser)});
    }
    for (const auto& [change, key, err] : cases) {
        for (const char* command : {"load", "check"}) {
            restore();
            change();
            BootFacility();
            ProcessResult result = Run(command, "m", key);
            EXPECT_EQ(result.status, 1) << err;
            EXPECT_EQ(result.out, "") << err;
            EXPECT_EQ(result.err, err);
            EXPECT_EQ(Entries(), "");
            std::filesystem::remove(Path("link.pub"));
        }
    }
}

TEST_F(SignedManifestTest, SerialFileThatCannotBeWrittenFailsTheLoadAfterItsEntries) {
    // The serial file's folder is a link to nothing: none is recorded, and none can be.
    std::filesystem::create_symlink(Path("nowhere"), Path("db"));
    ProcessResult result = Run("load", "m");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out,
              Verified("m", 1) + "Loaded 1 entries (0 errors) from " + Path("m") + "\n");
    EXPECT_EQ(result.err, "Error: cannot write serial file " + Path("db/serial") +
                              ": No such file or directory\n");
    EXPECT_NE(Entries(), "");
}

}  // namespace
