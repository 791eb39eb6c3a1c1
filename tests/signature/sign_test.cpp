// sign against the openssl command line, both ways, for each kind of key it takes.
#include <sys/stat.h>

#include <ctime>
#include <filesystem>

#include "support/test_support.h"

namespace {

struct KeyKind {
    const char* name;
    std::vector<std::string> generate;  // openssl genpkey options
    bool pure;                          // Ed25519: no digest before signing
};

const std::vector<KeyKind> KeyKinds = {
    {"Ed25519", {"-algorithm", "ed25519"}, true},
    {"P-256",
     {"-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-pkeyopt",
      "ec_param_enc:named_curve"},
     false},
    {"RSA 3072", {"-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:3072"}, false},
};

class SignTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        BootFacility();
        WriteFile(Path("tool"), "#!/bin/sh\n", 0755);
        body_ = ManifestLine(Path("tool"), Path("tool"));
    }
    // Runs openssl; its status must be 0.
    std::string OpenSsl(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "openssl");
        ProcessResult result = RunProgram(arguments);
        EXPECT_EQ(result.status, 0) << result.err;
        return result.out;
    }
    // A private key of this kind at NAME.key, mode 0400, and its public key at NAME.pub.
    std::string MakeKey(const KeyKind& kind, const std::string& name) {
        std::vector<std::string> arguments{"genpkey", "-out", Path(name + ".key")};
        arguments.insert(arguments.end(), kind.generate.begin(), kind.generate.end());
        OpenSsl(arguments);
        chmod(Path(name + ".key").c_str(), 0400);
        OpenSsl({"pkey", "-in", Path(name + ".key"), "-pubout", "-out", Path(name + ".pub")});
        return Path(name + ".key");
    }
    std::string KeyId(const std::string& name) {
        OpenSsl({"pkey", "-in", Path(name + ".key"), "-pubout", "-outform", "DER", "-out",
                 Path(name + ".der")});
        return RunProgram({"sha256sum", Path(name + ".der")}).out.substr(0, 16);
    }
    // What openssl says of the signature beside the manifest, with the public key.
    std::string OpenSslVerify(const KeyKind& kind, const std::string& name,
                              const std::string& manifest) {
        if (kind.pure) {
            return OpenSsl({"pkeyutl", "-verify", "-rawin", "-pubin", "-inkey", Path(name + ".pub"),
                            "-in", manifest, "-sigfile", manifest + ".sig"});
        }
        return OpenSsl({"dgst", "-sha256", "-verify", Path(name + ".pub"), "-signature",
                        manifest + ".sig", manifest});
    }
    void OpenSslSign(const KeyKind& kind, const std::string& name, const std::string& manifest) {
        if (kind.pure) {
            OpenSsl({"pkeyutl", "-sign", "-rawin", "-inkey", Path(name + ".key"), "-in", manifest,
                     "-out", manifest + ".sig"});
        } else {
            OpenSsl({"dgst", "-sha256", "-sign", Path(name + ".key"), "-out", manifest + ".sig",
                     manifest});
        }
    }

    std::string body_;
};

TEST_F(SignTest, EachKindOfKeySignsWhatOpenSslVerifiesAndLoadsWhatOpenSslSigned) {
    for (const KeyKind& kind : KeyKinds) {
        std::string key = MakeKey(kind, "k");
        std::string id = KeyId("k");
        WriteFile(Path("m"), body_);
        ProcessResult signing = RunSign({"sign", "-k", key, "--serial", "7", Path("m")});
        EXPECT_EQ(signing.status, 0) << kind.name << signing.err;
        EXPECT_EQ(signing.out, "Signed " + Path("m") + ": serial 7, key " + id + "\n");
        EXPECT_EQ(ReadFile(Path("m")), "# pelmor-sign serial 7\n" + body_);
        EXPECT_NE(OpenSslVerify(kind, "k", Path("m")).find("Verified"), std::string::npos);

        // The other way: a manifest signed by hand loads, and its serial is recorded.
        WriteFile(Path("h"), "# pelmor-sign serial 8\n" + body_);
        OpenSslSign(kind, "k", Path("h"));
        ProcessResult load =
            RunSign({"load", "--key", Path("k.pub"), "--serial-file", Path("serial"), Path("h")});
        EXPECT_EQ(load.status, 0) << kind.name << load.err;
        EXPECT_EQ(load.out, "Verified " + Path("h") + ": serial 8, key " + id + "\nLoaded 1 " +
                                "entries (0 errors) from " + Path("h") + "\n");
        EXPECT_EQ(ReadFile(Path("serial")), "8\n");
        if (kind.pure) {
            // Ed25519 is deterministic: the same bytes as openssl's.
            std::string ours = ReadFile(Path("m.sig"));
            OpenSslSign(kind, "k", Path("m"));
            EXPECT_EQ(ours, ReadFile(Path("m.sig")));
        }
        std::remove(Path("serial").c_str());
        std::remove(key.c_str());
    }
}

TEST_F(SignTest, HeaderIsReplacedEveryOtherByteKeptAndTheDefaultSerialIsTheTime) {
    std::string key = MakeKey(KeyKinds[0], "k");
    // No line feed at the end, a carriage return and a comment: all kept as they are.
    const std::string rest = "# made by hand\r\n" + body_ + "/x sha512=00";
    WriteFile(Path("m"), "# pelmor-sign serial 3\n" + rest, 0640);
    uint64_t before = static_cast<uint64_t>(std::time(nullptr));
    ProcessResult result = RunSign({"sign", "-k", key, Path("m")});
    uint64_t after = static_cast<uint64_t>(std::time(nullptr));
    ASSERT_EQ(result.status, 0) << result.err;
    std::string signedText = ReadFile(Path("m"));
    uint64_t serial = std::stoull(signedText.substr(21));
    EXPECT_GE(serial, before);
    EXPECT_LE(serial, after);
    EXPECT_EQ(signedText, "# pelmor-sign serial " + std::to_string(serial) + "\n" + rest);
    struct stat status;
    ASSERT_EQ(stat(Path("m").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
}

TEST_F(SignTest, KeysThatCannotServeAreRefusedAndNothingIsWritten) {
    WriteFile(Path("m"), body_);
    MakeKey({"RSA 2048", {"-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048"}, false}, "rsa");
    MakeKey({"P-384", {"-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-384"}, false}, "p384");
    MakeKey({"Ed448", {"-algorithm", "ed448"}, false}, "ed448");
    MakeKey(KeyKinds[0], "open");
    chmod(Path("open.key").c_str(), 0440);
    WriteFile(Path("text.key"), "not a key\n", 0400);
    for (const auto& [key, err] : std::vector<std::pair<std::string, std::string>>{
             {"rsa.key", "unsupported key {}: an RSA key of 2048 bits (at least 3072 are needed)"},
             {"p384.key",
              "unsupported key {}: an ECDSA key on curve secp384r1 (only P-256 is taken)"},
             {"ed448.key",
              "unsupported key {}: a key of type ED448 (Ed25519, ECDSA on P-256 or RSA of 3072 "
              "bits or more are taken)"},
             {"text.key", "unsupported key {}: not a PEM private key without a passphrase"},
             {"open.key", "refusing key file {}: readable by group or others (chmod 0400 it)"},
             {"none.key", "cannot read key file {}: No such file or directory"}}) {
        ProcessResult result = RunSign({"sign", "-k", Path(key), Path("m")});
        EXPECT_EQ(result.status, 1);
        std::string expected = err;
        expected.replace(expected.find("{}"), 2, Path(key));
        EXPECT_EQ(result.err, "Error: " + expected + "\n");
        EXPECT_EQ(result.out, "");
    }
    ProcessResult badSerial = RunSign({"sign", "-k", Path("open.key"), "--serial", "-1", "m"});
    EXPECT_EQ(badSerial.status, 1);
    EXPECT_EQ(Lines(badSerial.err).front(),
              "--serial: N must be an unsigned 64-bit decimal number, not '-1'\n");
    EXPECT_EQ(ReadFile(Path("m")), body_);
    EXPECT_FALSE(std::filesystem::exists(Path("m.sig")));
}

}  // namespace
