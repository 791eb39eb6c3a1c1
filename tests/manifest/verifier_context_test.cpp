// No OpenSSL configuration reaches a command that verifies: the program itself is run, since
// this process has set up OpenSSL long before, with a provider that records being loaded.
#include <fmt/core.h>

#include <filesystem>

#include "support/test_support.h"

namespace fs = std::filesystem;

class VerifierContextTest : public TempDirTest {
  protected:
    // The exit status and output of the program run with `arguments` under an OPENSSL_CONF
    // that activates the recording provider.
    std::string Run(const std::string& program, const std::string& arguments) {
        return Shell(
            fmt::format("OPENSSL_CONF=conf OPENSSL_MODULES={} "
                        "PELMOR_PROVIDER_RECORD=record {} {} 2>&1; echo status $?",
                        Path("modules"), program, arguments));
    }
    // Whether the provider was loaded since the last call.
    bool Loaded() { return fs::remove(Path("record")); }
};

TEST_F(VerifierContextTest, NoVerifyingCommandLoadsAProviderThatTheEnvironmentNames) {
    BootFacility();
    WriteFile(Path("conf"), fmt::format("openssl_conf = init\n[init]\nproviders = providers\n"
                                        "[providers]\nrecorder = recorder\ndefault = default_sect\n"
                                        "[recorder]\nmodule = {}\nactivate = 1\n"
                                        "[default_sect]\nactivate = 1\n",
                                        PELMOR_RECORDER_PROVIDER));
    // And a module in its place for every provider OpenSSL could look up by name.
    fs::create_directory(Path("modules"));
    for (const char* name : {"default.so", "legacy.so", "fips.so", "base.so"}) {
        fs::copy_file(PELMOR_RECORDER_PROVIDER, Path("modules/") + name);
    }
    // The configuration works: openssl itself loads the provider.
    Run("openssl", "list -providers");
    ASSERT_TRUE(Loaded());

    std::string id = MakeKeyPair(Path("k"));
    WriteFile(Path("tool"), "#!/bin/sh\n", 0755);
    WriteFile(Path("m"), ManifestLine(Path("tool"), Path("tool")));
    ASSERT_EQ(RunSign(Words("sign -k k.key --serial 3 m")).status +
                  RunSign(Words("keys add keys k.pub")).status +
                  RunSign(Words("keys sign -k k.key --expires 2099-01-01T00:00:00Z keys")).status,
              0);
    const std::string program = PELMOR_PROGRAM, verified = "Verified m: serial 3, key " + id;
    for (const auto& [arguments, expected] : std::vector<std::pair<std::string, std::string>>{
             {"load --key k.pub --serial-file s1 m", verified},
             {"check --key k.pub --serial-file s2 m", verified},
             {"diff --key k.pub --serial-file s3 m m", "status 0"},
             {"keys show --key k.pub keys", "Signature: verifies with root key " + id},
             // Nor does sign with a key file alone.
             {"sign -k k.key --serial 4 m", "Signed m: serial 4"}}) {
        std::string output = Run(program, arguments);
        EXPECT_NE(output.find(expected), std::string::npos) << arguments << ": " << output;
        EXPECT_FALSE(Loaded()) << arguments;
    }
    // A run that loads a provider takes the configuration, for a token's settings; into its
    // own context, and only to sign.
    EXPECT_NE(Run(program, "sign -k k.key --provider default --serial 5 m").find("status 0"),
              std::string::npos);
    EXPECT_TRUE(Loaded());
}
