// sign against the openssl command line, both ways, for each kind of key it takes.
#include <fmt/core.h>

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>

#include "support/test_support.h"

namespace fs = std::filesystem;

class SignTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        BootFacility();
        WriteFile(Path("tool"), "#!/bin/sh\n", 0755);
        body_ = ManifestLine(Path("tool"), Path("tool"));
    }
    std::string body_;
};

TEST_F(SignTest, EachKindOfKeySignsWhatOpenSslVerifiesAndLoadsWhatOpenSslSigned) {
    // Ed25519 signs the bytes themselves; ECDSA and RSA their SHA-256 digest.
    for (const auto& [options, digest] :
         {std::pair{"-algorithm EC -pkeyopt ec_paramgen_curve:P-256 -pkeyopt "
                    "ec_param_enc:named_curve",
                    " -digest sha256"},
          {"-algorithm RSA -pkeyopt rsa_keygen_bits:3072", " -digest sha256"},
          {"-algorithm ed25519", ""}}) {
        fs::remove(Path("k.key"));
        std::string id = MakeKeyPair(Path("k"), options),
                    openssl = std::string("openssl pkeyutl -rawin") + digest;
        WriteFile(Path("m"), body_);
        EXPECT_EQ(RunSign({"sign", "-k", "k.key", "--serial", "7", "m"}),
                  Succeeded("Signed m: serial 7, key " + id + "\n"));
        Shell(openssl + " -verify -pubin -inkey k.pub -in m -sigfile m.sig");

        // The other way: a manifest signed by hand loads (the same serial for each kind).
        WriteFile(Path("h"), "# pelmor-sign serial 8\n" + body_);
        Shell(openssl + " -sign -inkey k.key -in h -out h.sig");
        EXPECT_EQ(RunSign({"load", "--key", "k.pub", "--serial-file", "serial", "h"}),
                  Succeeded("Verified h: serial 8, key " + id +
                            ", signature h.sig\nLoaded 1 entries (0 errors) from h\n"));
    }
}

TEST_F(SignTest, HeaderIsReplacedEveryOtherByteKeptAndTheDefaultSerialIsTheTime) {
    MakeKeyPair(Path("k"));
    const std::string keyLine = "# pelmor-sign key " + FullKeyId(Path("k")) + "\n";
    // No line feed at the end, a carriage return and a comment: all kept as they are. /x, which
    // the host lacks, and an unknown flag are no reason to refuse: a build host signs images.
    const std::string rest = "# made by hand\r\n" + body_ + "/x sha512=00 extra";
    WriteFile(Path("m"), "# pelmor-sign serial 3\n# pelmor-sign key 00\n" + rest, 0640);
    std::time_t before = std::time(nullptr);
    ASSERT_EQ(RunSign({"sign", "-k", "k.key", "m"}).status, 0);
    std::string signedText = ReadFile(Path("m"));
    std::time_t serial = std::stoll(signedText.substr(21));
    EXPECT_TRUE(serial >= before && serial <= std::time(nullptr)) << serial;
    // The key line after it names the key that signed it, among those of a keys file.
    EXPECT_EQ(signedText, "# pelmor-sign serial " + std::to_string(serial) + "\n" + keyLine + rest);
    EXPECT_EQ(fs::status(Path("m")).permissions(), fs::perms(0640));
}

// Neither a key that others could swap, nor a file planted where the signature goes or one that
// load would refuse (a new one would keep its mode), nor a manifest that load would
// find faults in or that names a file in words other than generate's serves: nothing is
// written, the manifest is not rewritten, and a FIFO is never opened.
TEST_F(SignTest, UnfitKeysPlantedSignatureFilesAndBadLinesAreRefusedBeforeAnythingIsWritten) {
    MakeKeyPair(Path("k"));
    MakeKeyPair(Path("rsa"), "-algorithm RSA -pkeyopt rsa_keygen_bits:2048");
    MakeKeyPair(Path("p384"), "-algorithm EC -pkeyopt ec_paramgen_curve:P-384");
    Shell(
        "mkdir -m 777 o && cp -p k.key o && cp -p k.key other.key && install -m 440 k.key "
        "open.key && install -m 602 k.key written.key && install -m 400 k.pub public.pub && "
        "cat k.pub k.key >both.key && "
        "echo not a key >text.key && chmod 400 text.key && echo victim >victim");
    const std::string planted = "refusing m.sig: not a regular file",
                      bad = "refusing to sign m: line ";
    // The key; what is planted, or the manifest written; the refusal.
    std::vector<std::tuple<std::string, std::string, std::string>> cases{
        {"rsa.key", "",
         "unsupported key rsa.key: an RSA key of 2048 bits (at least 3072 are needed)"},
        {"p384.key", "",
         "unsupported key p384.key: an ECDSA key on curve secp384r1 (only P-256 is taken)"},
        {"text.key", "", "unsupported key text.key: not a PEM private key"},
        {"open.key", "", "refusing key file open.key: readable by group or others (chmod 0400 it)"},
        // Someone who can write the key can have it sign with a key of theirs.
        {"written.key", "",
         "refusing key file written.key: writable by group or others (chmod 0400 it)"},
        // The public key given for the private one is named as such, whatever its mode.
        {"public.pub", "", "unsupported key public.pub: a public key, not a private key"},
        // And is never a way past the refusal of a private key beside it that others can read.
        {"both.key", "", "unsupported key both.key: a public key, not a private key"},
        {"o/k.key", "", "refusing key file o/k.key: folder o is writable by group or others"},
        {"k.key", "ln -s victim m.sig", planted},
        {"k.key", "mkfifo m.sig", planted},
        {"k.key", "echo old >m.sig && chmod 666 m.sig",
         "refusing m.sig: writable by group or others"},
        {"k.key", "printf '# comment\\n/x sha512=00\\n/y sha512\\n' >m",
         bad + "3: missing '=' in attribute"},
        // The fault, not the warning of an unknown flag before it.
        {"k.key", "echo '/x sha512=0g extra' >m", bad + "1: bad fingerprint"},
        // Lines that load takes, but whose paths name a file in other words.
        {"k.key", "printf '/x sha512=00\\n/usr/bin/./su sha512=00\\n' >m",
         bad + "2: path not in normal form: /usr/bin/./su"},
        {"k.key", "echo '/usr/sbin/../bin/su sha512=00' >m",
         bad + "1: path not in normal form: /usr/sbin/../bin/su"}};
    if (std::string user = std::to_string(UnprivilegedUser); geteuid() == 0) {
        cases.push_back(
            {"other.key", "chown " + user + " other.key",
             "refusing key file other.key: owned by user " + user + ", who could change it"});
    }
    for (const auto& [key, change, err] : cases) {
        WriteFile(Path("m"), body_);
        Shell("rm -f m.sig; " + change);
        const std::string manifest = ReadFile(Path("m"));
        struct stat before = {}, after = {};
        lstat(Path("m.sig").c_str(), &before);
        EXPECT_EQ(RunSign({"sign", "-k", key, "--serial", "4", "m"}),
                  Failed("Error: " + err + "\n"));
        EXPECT_EQ(ReadFile(Path("m")), manifest);
        lstat(Path("m.sig").c_str(), &after);
        EXPECT_EQ(after.st_ino, before.st_ino) << change;
    }
    EXPECT_EQ(ReadFile(Path("victim")), "victim\n");
    // The serial is checked before the key is read.
    EXPECT_EQ(Lines(RunSign({"sign", "-k", "open.key", "--serial", "-1", "m"}).err).front(),
              "--serial: N must be an unsigned 64-bit decimal number, not '-1'\n");
}
