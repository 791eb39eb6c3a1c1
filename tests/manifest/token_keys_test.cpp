// Keys that never leave a token: a software TPM (swtpm, through tpm2-openssl) and SoftHSM
// (through pkcs11-provider), each skipped saying why where it is not installed. The program
// itself is run: the providers stay out of this process.
#include <fmt/core.h>
#include <unistd.h>

#include <filesystem>

#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

const std::string SoftHsm = "/usr/lib/softhsm/libsofthsm2.so";

// Whether the shell finds every one of these programs, and OpenSSL the provider NAME in its
// modules folder.
bool Installed(const std::string& programs, const std::string& name) {
    std::string folder = Shell("openssl version -m | sed 's/^[^\"]*\"//; s/\"$//'");
    return RunProgram({"sh", "-c", "for p in " + programs + "; do command -v $p; done"}).status ==
               0 &&
           fs::exists(folder.substr(0, folder.size() - 1) + "/" + name + ".so");
}

// The status and every line the program printed.
std::string RunProgramLine(const std::string& arguments) {
    return Shell(fmt::format("{} {} 2>&1; echo status $?", PELMOR_PROGRAM, arguments));
}

}  // namespace

// The parameter names the provider: tpm2 or pkcs11.
class TokenKeysTest : public TempDirTest, public ::testing::WithParamInterface<std::string> {
  protected:
    // A P-256 key and an RSA-3072 one in the token, each as sign takes it with the public key
    // that verifies what it signs; and keys that it holds but sign refuses, with what it says.
    void SetUp() override {
        TempDirTest::SetUp();
        tpm_ = GetParam() == "tpm2";
        if (tpm_ ? !Installed("swtpm tpm2_createprimary tpm2_evictcontrol", "tpm2")
                 : !Installed("softhsm2-util", "pkcs11") || !fs::exists(SoftHsm)) {
            GTEST_SKIP() << (tpm_ ? "swtpm, tpm2-tools or tpm2-openssl is not installed "
                                    "(scripts/test.sh installs them)"
                                  : "pkcs11-provider or softhsm2 is not installed (Debian 12 has "
                                    "pkcs11-provider only in bookworm-backports)");
        }
        WriteFile(Path("m"), "/bin/true sha512=" + std::string(128, '0') + "\n");
        if (!tpm_) {
            // A token t of PIN 1234. SoftHSM crashes every process at exit unless the provider
            // leaves it initialised.
            WriteFile(Path("softhsm2.conf"), "directories.tokendir = " + Path("tokens") + "\n");
            WriteFile(Path("openssl.cnf"),
                      fmt::format("openssl_conf = init\n[init]\nproviders = providers\n"
                                  "[providers]\ndefault = default_sect\npkcs11 = pkcs11_sect\n"
                                  "[default_sect]\nactivate = 1\n[pkcs11_sect]\nmodule = pkcs11\n"
                                  "pkcs11-module-path = {}\npkcs11-module-quirks = no-deinit\n"
                                  "activate = 1\n",
                                  SoftHsm));
            setenv("SOFTHSM2_CONF", Path("softhsm2.conf").c_str(), 1);
            setenv("OPENSSL_CONF", Path("openssl.cnf").c_str(), 1);
            WriteFile(Path("pin"), "1234\n", 0400);
            WriteFile(Path("wrong"), "4321\n", 0400);
            Shell(
                "mkdir tokens && softhsm2-util --init-token --free --label t --pin 1234 --so-pin "
                "5678 >/dev/null");
            Shell(
                "for k in 'k1 EC -pkeyopt ec_paramgen_curve:P-256' 'k2 RSA -pkeyopt "
                "rsa_keygen_bits:3072'; do set -- $k && openssl genpkey -algorithm $2 $3 $4 -out "
                "$1.key && openssl pkey -in $1.key -pubout -out $1.pub && softhsm2-util --import "
                "$1.key --token t --label $1 --id 0${1#k} --pin 1234 >/dev/null; done");
            // The PIN with --passin, or by the URI's own pin-source; a wrong PIN is never shown.
            const std::string uri = "'pkcs11:token=t;object=k";
            keys_ = {{uri + "1;type=private' --passin file:pin", "k1.pub"},
                     {uri + "2;type=private?pin-source=file:" + Path("pin") + "'", "k2.pub"}};
            refused_ = {{uri + "1;type=private' --passin file:wrong", "bad passphrase or PIN"},
                        {"'pkcs11:token=t;type=private' --passin file:pin",
                         "matches 2 private keys: it must match exactly one"}};
            return;
        }
        // A TPM of this test's own, on a local port, stopped by its process id at the end.
        int port = 20000 + static_cast<int>(getpid() % 20000) * 2;
        fs::create_directory(Path("tpm"));
        Shell(
            fmt::format("swtpm socket --tpmstate dir=tpm --tpm2 --pid file={0} "
                        "--server type=tcp,port={1},bindaddr=127.0.0.1 --ctrl "
                        "type=tcp,port={2},bindaddr=127.0.0.1 --flags not-need-init,startup-clear "
                        ">swtpm.log 2>&1 &",
                        Path("swtpm.pid"), port, port + 1));
        std::string tcti = fmt::format("swtpm:host=127.0.0.1,port={}", port);
        setenv("TPM2OPENSSL_TCTI", tcti.c_str(), 1);
        setenv("TPM2TOOLS_TCTI", tcti.c_str(), 1);
        setenv("TSS2_LOG", "all+none", 1);
        // Not --daemon, under which swtpm fails every command here; until it answers, within
        // ten seconds.
        Shell(
            "for i in $(seq 100); do [ -s swtpm.pid ] && tpm2_getrandom 1 >/dev/null 2>&1 && "
            "break; sleep 0.1; done");
        // One in a TSS2 file, one by handle.
        Shell(
            "openssl genpkey -provider tpm2 -provider base -algorithm EC -pkeyopt group:P-256 "
            "-out tss.pem && chmod 400 tss.pem && openssl pkey -provider tpm2 -provider base "
            "-in tss.pem -pubout -out tss.pub");
        EXPECT_NE(ReadFile(Path("tss.pem")).find("BEGIN TSS2 PRIVATE KEY"), std::string::npos);
        // Keys made in the TPM and kept at a handle, with tpm2-tools, which keeps no resource
        // manager here: each step's transient objects are flushed before the next.
        Shell(
            "f() { \"$@\" && tpm2_flushcontext -t; }; for k in 'rsa3072 0x81000001' 'rsa2048 "
            "0x81000009'; do set -- $k && f tpm2_createprimary -Q -C o -c p.ctx && f tpm2_create "
            "-Q -C p.ctx -G $1 -u k.tpub -r k.tpriv && f tpm2_load -Q -C p.ctx -u k.tpub -r "
            "k.tpriv -c k.ctx && f tpm2_evictcontrol -Q -C o -c k.ctx $2 || exit; done");
        Shell(
            "openssl pkey -provider tpm2 -provider base -in handle:0x81000001 -pubout -out "
            "handle.pub");
        keys_ = {{"tss.pem", "tss.pub"}, {"handle:0x81000001", "handle.pub"}};
        refused_ = {{"handle:0x81000009",
                     "Error: unsupported key handle:0x81000009: an RSA key of 2048 bits (at "
                     "least 3072 are needed)\nstatus 1\n"}};
    }
    void TearDown() override {
        if (fs::exists(Path("swtpm.pid"))) {
            Shell("kill $(cat swtpm.pid)");
        }
        for (const char* name :
             {"TPM2OPENSSL_TCTI", "TPM2TOOLS_TCTI", "OPENSSL_CONF", "SOFTHSM2_CONF"}) {
            unsetenv(name);
        }
        TempDirTest::TearDown();
    }
    std::vector<std::pair<std::string, std::string>> keys_, refused_;
    bool tpm_ = false;
};

TEST_P(TokenKeysTest, P256AndRsa3072KeysSignInTheTokenWhatOpenSslVerifiesAndUnfitOnesAreRefused) {
    const std::string provider = " --provider " + GetParam() + " ";
    for (const auto& [key, pub] : keys_) {
        std::string signedText = RunProgramLine("sign -k " + key + provider + "--serial 9 m");
        EXPECT_NE(signedText.find("Signed m: serial 9"), std::string::npos) << signedText;
        EXPECT_EQ(Shell(fmt::format("openssl dgst -sha256 -verify {} -signature m.sig m", pub)),
                  "Verified OK\n")
            << key;
        fs::remove(Path("m.sig"));
    }
    for (const auto& [key, err] : refused_) {
        std::string output = RunProgramLine("sign -k " + key + provider + "m");
        EXPECT_NE(output.find(err), std::string::npos) << output;
        EXPECT_EQ(output.find("4321"), std::string::npos);
        EXPECT_FALSE(fs::exists(Path("m.sig")));
    }
}

INSTANTIATE_TEST_SUITE_P(Tokens, TokenKeysTest, ::testing::Values("tpm2", "pkcs11"),
                         [](const auto& info) { return info.param; });
