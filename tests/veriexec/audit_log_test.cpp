#include "veriexec/audit_log.h"

#include <fmt/core.h>
#include <unistd.h>

#include "support/test_support.h"

using AuditLogTest = TempDirTest;

// A refusal's line (no event below) says the command's first error; a failure that is no
// verdict on the manifest, or a change the facility did not make, writes none. The manifest is
// named by its absolute path, lexically normal, its links as given.
TEST_F(AuditLogTest, LoadsChangesMadeAndRefusedManifestsWriteOneLineNamingTheCallingUser) {
    const std::string user = fmt::format(
        "user {} ({}): ",
        Words(Shell("getent passwd $(id -u) | cut -d: -f1 | grep . || echo '?'"))[0], getuid());
    const std::string id = MakeKeyPair(Path("trusted"));
    MakeKeyPair(Path("other"));
    WriteFile(Path("tool"), "", 0755);
    for (const char* serial : {"1", "3"}) {
        WriteFile(serial, ManifestLine(Path("tool"), Path("tool")));
        ASSERT_EQ(RunSign({"sign", "-k", "trusted.key", "--serial", serial, serial}).status, 0);
    }
    WriteFile(SerialFile, "2\n");
    Shell("ln -s . here");
    BootFacility();
    for (const auto& [command, severity, event] :
         std::vector<std::tuple<std::string, std::string, std::string>>{
             {"load here/./3", "notice",
              "load " + Path("here/3") + ": unsigned, 1 entries sent, 0 errors"},
             {"load --key other.pub 3", "warning", ""},
             {"load --key missing.pub 3", "", ""},
             {"load --key trusted.pub 1", "warning", ""},
             {"load --key trusted.pub 3", "notice",
              "load " + Path("3") + ": serial 3, key " + id + ", 1 entries sent, 0 errors"},
             {"activate", "notice", "veriexec state set to 'activate'"},
             {"enforce", "notice", "veriexec state set to 'enforce'"},
             {"load 3", "warning", ""},
             // The program has no entry: the facility refuses its first one.
             {"load --key trusted.pub 3", "warning", ""},
             {"lock", "", ""}}) {
        CollectedAudit audit;
        ProcessResult result = RunSign(Words(command), &audit);
        std::string error = result.err.substr(0, result.err.find('\n')), line = event;
        if (line.empty()) {
            line =
                "refused manifest " + Path(Words(command).back()) + error.substr(error.find(':'));
        }
        EXPECT_EQ(audit.lines, severity.empty() ? std::vector<std::string>{}
                                                : std::vector{severity + ": " + user + line})
            << command << ": " << result.err;
    }
}
