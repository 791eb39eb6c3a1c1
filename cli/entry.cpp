#include "cli/entry.h"

#include <fmt/core.h>
#include <openssl/crypto.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <iostream>
#include <string_view>

#include "cli/build_revision.h"
#include "cli/commands.h"
#include "cli/standard_streams.h"
#include "common/printable_path.h"
#include "veriexec/device.h"

namespace {

// The parser's message quotes the arguments as given: each of its lines as PrintablePath shows
// it.
std::string ParseErrorLines(std::string_view message) {
    std::string lines;
    for (size_t end; (end = message.find('\n')) != std::string_view::npos;) {
        lines += PrintablePath(message.substr(0, end)) + '\n';
        message.remove_prefix(end + 1);
    }
    return lines + PrintablePath(message) + '\n';
}

int ParseAndRun(int argc, char** argv, const InstalledFiles& installed, AuditLog& audit,
                CommandValues& values) {
    CLI::App parser("Pelmor signature utility.");
    parser.footer(fmt::format("Build revision: {}", BuildRevision));
    // The help flag is re-added after -v so that the help lists -v first; commands copy it
    // when they are created.
    parser.set_help_flag();
    CLI::Option* version = parser.add_flag("-v,--version", "Show version");
    parser.set_help_flag("-h,--help", "Display this help menu");
    parser.require_subcommand(0, 1);

    values.generate.installedConfig = installed.configFile;
    values.check.walk.installedConfig = installed.configFile;
    values.load.trustedKeyPath = installed.trustedKey;
    values.load.installedSerialFile = installed.serialFile;
    values.load.signature.serialFile = installed.serialFile;
    values.check.signature.serialFile = installed.serialFile;
    values.load.installedKeysFile = installed.keysFile;
    values.load.signature.keysFile = installed.keysFile;
    values.check.signature.keysFile = installed.keysFile;
    values.diff.signature.serialFile = installed.serialFile;
    values.diff.signature.keysFile = installed.keysFile;
    values.keys.show.keysFile = installed.keysFile;
    values.keys.show.keyPath = installed.trustedKey;
    values.keys.install.keyPath = installed.trustedKey;
    values.keys.install.keysFile = installed.keysFile;
    values.keys.install.serialFile = installed.serialFile;
    values.keys.install.manifestPath = installed.manifestFile;
    values.keys.install.audit = &audit;
    values.keys.install.installedKey = installed.trustedKey;
    values.keys.install.installedKeysFile = installed.keysFile;
    values.keys.install.installedSerialFile = installed.serialFile;
    values.keys.install.installedManifest = installed.manifestFile;
    values.keys.install.enforcing = FacilityEnforces;
    RegisterCommands(parser, values, audit);

    try {
        parser.parse(argc, argv);
        // CLI11 swallows a command word that follows a top-level "--" without running the
        // command; nothing at the top level takes such an argument, so it is refused.
        if (parser.get_subcommands().empty()) {
            char** terminator = std::find(argv + 1, argv + argc, std::string_view("--"));
            if (terminator != argv + argc && terminator + 1 != argv + argc) {
                throw CLI::ExtrasError(std::vector<std::string>(terminator + 1, argv + argc));
            }
        }
    } catch (const CLI::Success&) {
        std::cout << parser.help();
        return 0;
    } catch (const CLI::ParseError& error) {
        std::cerr << ParseErrorLines(error.what());
        std::cerr << parser.help();
        return values.troubleStatus;
    }
    if (argc == 1) {
        std::cerr << parser.help();
        return 1;
    }
    if (version->count() > 0 && !values.ended) {
        std::cout << fmt::format("pelmor-sign version: {}\n", BuildRevision);
    }
    return values.status;
}

}  // namespace

int Entry(int argc, char** argv, const InstalledFiles& installed, AuditLog& audit) {
    // Nothing that OPENSSL_CONF names is ever loaded into the process-wide context: fingerprints
    // and signatures are taken with OpenSSL's own default provider alone.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    PrepareStandardStreams();
    CommandValues values;
    int status = ParseAndRun(argc, argv, installed, audit, values);
    status = FinishStandardOutput(status, values.troubleStatus);
    std::cerr << values.afterOutputFailure;
    return status;
}
