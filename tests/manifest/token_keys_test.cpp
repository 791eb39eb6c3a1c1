// Keys that never leave a token: a software TPM (swtpm, through tpm2-openssl) and SoftHSM
// (through pkcs11-provider). The program itself is run: the providers stay out of this process.
#include <fmt/core.h>
#include <unistd.h>

#include <filesystem>

#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

// Whether the shell finds every one of these programs.
bool Installed(const std::string& programs) {
    return RunProgram({"sh", "-c", "for p in " + programs + "; do command -v $p; done"}).status ==
           0;
}

// Whether OpenSSL can load the provider NAME from its modules folder.
bool ProviderInstalled(const std::string& name) {
    std::string folder = Shell("openssl version -m | sed 's/^[^\"]*\"//; s/\"$//'");
    return fs::exists(folder.substr(0, folder.size() - 1) + "/" + name + ".so");
}

// The status and every line the program printed.
std::string RunProgramLine(const std::string& arguments) {
    return Shell(fmt::format("{} {} 2>&1; echo status $?", PELMOR_PROGRAM, arguments));
}

}  // namespace

class TpmKeysTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        if (!Installed("swtpm tpm2_createprimary tpm2_evictcontrol") ||
            !ProviderInstalled("tpm2")) {
            GTEST_SKIP() << "swtpm, tpm2-tools or tpm2-openssl is not installed (scripts/test.sh "
                            "installs them)";
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
    }
    void TearDown() override {
        if (fs::exists(Path("swtpm.pid"))) {
            Shell("kill $(cat swtpm.pid)");
        }
        unsetenv("TPM2OPENSSL_TCTI");
        unsetenv("TPM2TOOLS_TCTI");
        TempDirTest::TearDown();
    }
    // A key made in the TPM and kept at HANDLE, with tpm2-tools, which keeps no resource
    // manager here: each step's transient objects are flushed before the next.
    void MakePersistentKey(const std::string& algorithm, const std::string& handle) {
        Shell(fmt::format(
            "f() {{ \"$@\" && tpm2_flushcontext -t; }}; f tpm2_createprimary -Q -C o -c p.ctx && "
            "f tpm2_create -Q -C p.ctx -G {0} -u k.tpub -r k.tpriv && f tpm2_load -Q -C p.ctx -u "
            "k.tpub -r k.tpriv -c k.ctx && f tpm2_evictcontrol -Q -C o -c k.ctx {1}",
            algorithm, handle));
    }
};

TEST_F(TpmKeysTest, P256AndRsa3072SignInTheTpmByHandleAndTss2FileAndOpenSslVerifies) {
    WriteFile(Path("m"), "/bin/true sha512=" + std::string(128, '0') + "\n");
    const std::string tpm2 = "-provider tpm2 -provider base";
    unsigned handle = 0x81000001;
    for (const auto& [algorithm, tools] :
         {std::pair{"EC -pkeyopt group:P-256", "ecc256"}, {"RSA -pkeyopt bits:3072", "rsa3072"}}) {
        Shell(
            fmt::format("openssl genpkey {0} -algorithm {1} -out tss.pem && chmod 400 tss.pem "
                        "&& openssl pkey {0} -in tss.pem -pubout -out tss.pub",
                        tpm2, algorithm));
        ASSERT_NE(ReadFile(Path("tss.pem")).find("BEGIN TSS2 PRIVATE KEY"), std::string::npos);
        std::string uri = fmt::format("handle:{:#x}", handle++);
        MakePersistentKey(tools, uri.substr(7));
        Shell(fmt::format("openssl pkey {} -in {} -pubout -out handle.pub", tpm2, uri));
        for (const auto& [key, pub] :
             {std::pair{std::string("tss.pem"), "tss.pub"}, {uri, "handle.pub"}}) {
            std::string signedText =
                RunProgramLine("sign -k " + key + " --provider tpm2 --serial 9 m");
            EXPECT_NE(signedText.find("Signed m: serial 9"), std::string::npos) << signedText;
            EXPECT_EQ(Shell(fmt::format("openssl dgst -sha256 -verify {} -signature m.sig m", pub)),
                      "Verified OK\n")
                << algorithm << " " << key;
            fs::remove(Path("m.sig"));
        }
    }
    // A key the TPM holds that is not taken is named for what it is.
    MakePersistentKey("rsa2048", "0x81000009");
    EXPECT_EQ(RunProgramLine("sign -k handle:0x81000009 --provider tpm2 m"),
              "Error: unsupported key handle:0x81000009: an RSA key of 2048 bits (at least 3072 "
              "are needed)\nstatus 1\n");
    // A handle that cannot be opened is the signing key test's, one without its provider.
    EXPECT_FALSE(fs::exists(Path("m.sig")));
}

class Pkcs11KeysTest : public TempDirTest {};

TEST_F(Pkcs11KeysTest, SoftHsmKeysSignThroughPkcs11UrisAndAWrongPinIsTriedOnce) {
    const std::string softhsm = "/usr/lib/softhsm/libsofthsm2.so";
    if (!ProviderInstalled("pkcs11") || !Installed("softhsm2-util") || !fs::exists(softhsm)) {
        GTEST_SKIP() << "pkcs11-provider or softhsm2 is not installed (Debian 12 has "
                        "pkcs11-provider only in bookworm-backports)";
    }
    WriteFile(Path("softhsm2.conf"), "directories.tokendir = " + Path("tokens") + "\n");
    fs::create_directory(Path("tokens"));
    // SoftHSM crashes every process at exit unless the provider leaves it initialised.
    WriteFile(Path("openssl.cnf"),
              fmt::format("openssl_conf = init\n[init]\nproviders = providers\n[providers]\n"
                          "default = default_sect\npkcs11 = pkcs11_sect\n[default_sect]\n"
                          "activate = 1\n[pkcs11_sect]\nmodule = pkcs11\npkcs11-module-path = {}\n"
                          "pkcs11-module-quirks = no-deinit\nactivate = 1\n",
                          softhsm));
    setenv("SOFTHSM2_CONF", Path("softhsm2.conf").c_str(), 1);
    setenv("OPENSSL_CONF", Path("openssl.cnf").c_str(), 1);
    WriteFile(Path("pin"), "1234\n", 0400);
    WriteFile(Path("wrong"), "4321\n", 0400);
    Shell("softhsm2-util --init-token --free --label t --pin 1234 --so-pin 5678 >/dev/null");
    WriteFile(Path("m"), "/bin/true sha512=" + std::string(128, '0') + "\n");
    int id = 1;
    for (const char* options : {"-algorithm EC -pkeyopt ec_paramgen_curve:P-256",
                                "-algorithm RSA -pkeyopt rsa_keygen_bits:3072"}) {
        std::string label = fmt::format("k{}", id);
        Shell(
            fmt::format("openssl genpkey {0} -out {1}.key && openssl pkey -in {1}.key -pubout "
                        "-out {1}.pub && softhsm2-util --import {1}.key --token t --label {1} "
                        "--id {2:02x} --pin 1234 >/dev/null",
                        options, label, id++));
        std::string uri = "'pkcs11:token=t;object=" + label + ";type=private'";
        std::string signedText =
            RunProgramLine("sign -k " + uri + " --provider pkcs11 --passin file:pin m");
        EXPECT_NE(signedText.find("Signed m: serial"), std::string::npos) << signedText;
        EXPECT_EQ(Shell("openssl dgst -sha256 -verify " + label + ".pub -signature m.sig m"),
                  "Verified OK\n");
        // The URI's own pin-source serves as well.
        uri.insert(uri.size() - 1, "?pin-source=file:" + Path("pin"));
        EXPECT_NE(RunProgramLine("sign -k " + uri + " --provider pkcs11 m").find("Signed m"),
                  std::string::npos);
        fs::remove(Path("m.sig"));
        std::string wrong = RunProgramLine("sign -k " + uri.substr(0, uri.find('?')) +
                                           "' --provider pkcs11 --passin file:wrong m");
        EXPECT_NE(wrong.find("bad passphrase or PIN"), std::string::npos) << wrong;
        EXPECT_EQ(wrong.find("4321"), std::string::npos);
        EXPECT_FALSE(fs::exists(Path("m.sig")));
    }
    // Both keys match a URI that names the token alone.
    EXPECT_NE(RunProgramLine(
                  "sign -k 'pkcs11:token=t;type=private' --provider pkcs11 --passin file:pin m")
                  .find("matches 2 private keys: it must match exactly one"),
              std::string::npos);
    unsetenv("OPENSSL_CONF");
    unsetenv("SOFTHSM2_CONF");
}
