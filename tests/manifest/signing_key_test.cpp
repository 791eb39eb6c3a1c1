// Signing keys that do not lie on the disk in the clear: encrypted PEM keys with every
// passphrase source, the sources refused, and URIs.
#include <fcntl.h>
#include <fmt/core.h>
#include <unistd.h>

#include <filesystem>

#include "support/test_support.h"

namespace fs = std::filesystem;

class SigningKeyTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        WriteFile(Path("tool"), "#!/bin/sh\n", 0755);
        body_ = ManifestLine(Path("tool"), Path("tool"));
        WriteFile(Path("m"), body_);
        WriteFile(Path("pw"), "s3cret\nignored\n", 0400);
    }
    // PREFIX.key encrypted with s3cret by `encrypt`, which reads a plain key on its standard
    // input, and PREFIX.pub.
    void MakeEncryptedKey(const std::string& prefix, const std::string& options,
                          const std::string& encrypt = "openssl pkcs8 -topk8 -v2 aes-256-cbc") {
        Shell(fmt::format(
            "openssl genpkey {1} | {2} -passout pass:s3cret -out {0}.key && chmod 400 {0}.key && "
            "openssl pkey -in {0}.key -passin pass:s3cret -pubout -out {0}.pub",
            prefix, options, encrypt));
    }
    std::string body_;
};

TEST_F(SigningKeyTest, EncryptedKeysOfEachKindSignWithEveryPassphraseSource) {
    MakeEncryptedKey("ed", "-algorithm ed25519");
    MakeEncryptedKey("p256", "-algorithm EC -pkeyopt ec_paramgen_curve:P-256");
    // The traditional form, with its Proc-Type and DEK-Info lines.
    MakeEncryptedKey("rsa", "-algorithm RSA -pkeyopt rsa_keygen_bits:3072",
                     "openssl rsa -traditional -aes256");
    ASSERT_NE(ReadFile(Path("rsa.key")).find("Proc-Type: 4,ENCRYPTED"), std::string::npos);
    setenv("PELMOR_TEST_PW", "s3cret", 1);
    // Each kind and each source, not each pair: that each kind signs what openssl verifies is
    // sign's test; here the key that signed is named. A file: URI is a key file like any other.
    for (const auto& [key, name, source] :
         std::vector<std::tuple<std::string, std::string, std::string>>{
             {"ed.key", "ed", "stdin"},
             {"p256.key", "p256", "env:PELMOR_TEST_PW"},
             {"rsa.key", "rsa", "fd:"},
             {"file://" + Path("ed.key"), "ed", "file:pw"}}) {
        // The line the descriptor gives is the passphrase; what follows it is not read.
        int pipes[2];
        ASSERT_EQ(pipe(pipes), 0);
        ASSERT_EQ(write(pipes[1], "s3cret\nmore", 11), 11);
        close(pipes[1]);
        int saved = dup(0);
        dup2(pipes[0], 0);
        ProcessResult result = RunSign(
            {"sign", "-k", key, "--passin",
             source == "fd:" ? source + std::to_string(pipes[0]) : source, "--serial", "5", "m"});
        dup2(saved, 0);
        close(saved);
        close(pipes[0]);
        EXPECT_EQ(result,
                  Succeeded("Signed m: serial 5, key " + FullKeyId(name).substr(0, 16) + "\n"))
            << key << " " << source;
    }
    // An unencrypted key never asks: a source that would fail is not even read.
    MakeKeyPair(Path("plain"));
    EXPECT_EQ(RunSign({"sign", "-k", "plain.key", "--passin", "env:PELMOR_NOT_SET", "m"}).status,
              0);
    unsetenv("PELMOR_TEST_PW");
}

// Nothing is written when the passphrase is wrong, missing or given where others can see it,
// nor for a URI that holds its PIN or that nothing opens.
TEST_F(SigningKeyTest,
       WrongMissingOrExposedPassphrasesAndUnfitUrisAreRefusedBeforeAnythingIsWritten) {
    MakeEncryptedKey("ed", "-algorithm ed25519");
    Shell("cp pw open && chmod 644 open && ln -s open link");
    setenv("PELMOR_TEST_PW", "wrong", 1);
    const std::string readable = "readable by group or others (chmod 0400 it)",
                      sources = "env:VAR, file:PATH, fd:N or stdin";
    // The arguments of sign before the manifest; the first line of the error.
    for (const auto& [arguments, err] : std::vector<std::pair<std::string, std::string>>{
             {"-k ed.key --passin env:PELMOR_TEST_PW",
              "Error: cannot read key ed.key: bad passphrase"},
             {"-k ed.key --passin env:PELMOR_NOT_SET",
              "Error: cannot read the passphrase of ed.key: PELMOR_NOT_SET is not set"},
             {"-k ed.key --passin file:open", "Error: refusing passphrase file open: " + readable},
             {"-k ed.key --passin file:link", "Error: refusing passphrase file link: " + readable},
             // Standard input is not a terminal here: the error says how to give it.
             {"-k ed.key",
              "Error: key ed.key needs a passphrase and there is no terminal to ask: "
              "give it with --passin " +
                  sources},
             // pass: shows in ps; an unknown source is no source: both refused as the command
             // is read.
             {"-k ed.key --passin pass:s3cret",
              "--passin: pass: shows the passphrase to every user in ps: give " + sources},
             {"-k ed.key --passin fd:x", "--passin: SOURCE must be " + sources + ", not 'fd:x'"},
             {"-k pkcs11:token=t;object=k?pin-value=1234",
              "Error: refusing a key URI that holds its PIN (pin-value), which every user sees in "
              "ps: give it with --passin or pin-source"},
             {"-k handle:0x81000001", "Error: cannot open key handle:0x81000001: unsupported"},
             {"-k k.key --provider pelmor-none",
              "Error: cannot load OpenSSL provider pelmor-none: not installed, or it failed to "
              "start"},
             // ./a:b is a file, never a URI.
             {"-k ./a:b", "Error: cannot read key file ./a:b: No such file or directory"}}) {
        ProcessResult result = RunSignChild(Words("sign " + arguments + " m"), {});
        EXPECT_EQ(result.status, 1) << arguments;
        EXPECT_EQ(result.out + result.err.substr(0, result.err.find('\n') + 1), err + "\n");
        EXPECT_EQ(result.err.find("s3cret"), std::string::npos);
        EXPECT_EQ(ReadFile(Path("m")), body_);
        EXPECT_FALSE(fs::exists(Path("m.sig")));
    }
    unsetenv("PELMOR_TEST_PW");
}
