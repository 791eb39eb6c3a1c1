#include "cli/commands.h"

#include <fmt/core.h>

#include <cstring>
#include <ctime>
#include <iostream>
#include <optional>

#include "check/metrics.h"
#include "check/run.h"
#include "cli/standard_streams.h"
#include "common/printable_path.h"
#include "diff/run.h"
#include "engine/image_root.h"
#include "generate/run.h"
#include "manifest/options.h"
#include "veriexec/loader.h"
#include "veriexec/modules.h"
#include "veriexec/query.h"
#include "veriexec/state_change.h"
#include "veriexec/status.h"

namespace {

// Reports a missing kernel module; true when every one is loaded.
bool ModulesLoaded() {
    std::string missing = CheckRequiredModules();
    std::cerr << missing;
    return missing.empty();
}

// A command without options does not even accept -h: the front end answers it as a parse error.
CLI::App* AddBareCommand(CLI::App& parser, const char* word, const char* help) {
    CLI::App* command = parser.add_subcommand(word, help);
    command->set_help_flag();
    return command;
}

void AddStateChangeCommand(CLI::App& parser, CommandValues& values, AuditLog& audit,
                           const char* word, const char* help, VeriexecRequest request) {
    AddBareCommand(parser, word, help)->callback([&values, &audit, word, request] {
        values.ended = true;
        values.status = ModulesLoaded() ? SetVeriexecState(request, word, audit) : 1;
    });
}

// Reports an image root that cannot be used; true when there is none or it can be.
bool RootUsable(const std::string& root) {
    int error = root.empty() ? 0 : CheckImageRoot(root);
    if (error != 0) {
        std::cerr << fmt::format("Error: cannot use root directory {}: {}\n", PrintablePath(root),
                                 std::strerror(error));
    }
    return error == 0;
}

// The manifest of an image is made for another system, often on a build host that has no
// facility: only a run over this system checks its modules.
int Generate(const GenerateSettings& settings) {
    if (!RootUsable(settings.root) || (settings.root.empty() && !ModulesLoaded())) {
        return 1;
    }
    GenerateRun run(settings);
    std::string failure = run.Execute();
    std::cerr << failure;
    return failure.empty() && run.ReportedErrors() == 0 ? 0 : 1;
}

// Touches no kernel facility, so that an image can be checked where it is built. The summary
// tells whether the check was made.
CheckSummary RunCheck(const CheckSettings& settings) {
    if (!RootUsable(settings.walk.root)) {
        return {};
    }
    CheckRun run(settings);
    std::cerr << run.Execute();
    return run.Summary();
}

// The metrics file is judged before the work, and again when it is written, even when the
// check cannot be made: a collector then learns that it was not.
int Check(const CheckSettings& settings) {
    std::optional<CheckMetricsFile> metrics;
    if (settings.metricsGiven) {
        metrics.emplace(settings.metricsPath);
        if (std::string error = metrics->Check(); !error.empty()) {
            std::cerr << error;
            return 2;
        }
    }
    CheckSummary summary = RunCheck(settings);
    int status = !summary.made ? 2 : summary.ReportedAnything() ? 1 : 0;
    if (metrics) {
        if (std::string error = metrics->Write(summary, std::time(nullptr)); !error.empty()) {
            std::cerr << error;
            status = 2;
        }
    }
    return status;
}

// Touches no kernel facility: manifests are compared wherever they are made or signed.
int Diff(const DiffSettings& settings) {
    DiffResult result = RunDiff(settings);
    std::cerr << result.error;
    return !result.error.empty() ? 2 : result.differ ? 1 : 0;
}

// 1 says that a file is not verified, so the question that cannot be asked is 2, as in check.
int Query(const QuerySettings& settings) {
    QueryOutcome outcome = QueryFiles(settings);
    return !outcome.answered ? 2 : outcome.allVerified ? 0 : 1;
}

}  // namespace

void RegisterCommands(CLI::App& parser, CommandValues& values, AuditLog& audit) {
    CLI::App* generate = parser.add_subcommand("generate", "Generate manifest file");
    DeclareGenerateOptions(*generate, values.generate);
    generate->callback([&values] {
        if (!HasSomethingToDo(values.generate)) {
            throw CLI::CallForHelp();
        }
        values.status = Generate(values.generate);
    });

    CLI::App* check = parser.add_subcommand("check", "Check files against a manifest");
    DeclareCheckOptions(*check, values.check);
    check->preparse_callback([&values](std::size_t) { values.troubleStatus = 2; });
    check->callback([&values] {
        values.ended = true;
        values.status = Check(values.check);
    });

    CLI::App* diff = parser.add_subcommand("diff", "Show what a new manifest changes");
    DeclareDiffOptions(*diff, values.diff);
    diff->preparse_callback([&values](std::size_t) { values.troubleStatus = 2; });
    diff->callback([&values] {
        values.ended = true;
        values.status = Diff(values.diff);
    });

    CLI::App* sign = parser.add_subcommand("sign", "Sign a manifest file");
    CLI::Option* signedFile = DeclareSignOptions(*sign, values.sign);
    // Touches no kernel facility, so that a manifest can be signed on a host of its own.
    sign->callback([signedFile, &values] {
        values.ended = true;
        if (signedFile->count() == 0) {
            throw CLI::CallForHelp();
        }
        values.status = SignManifest(values.sign);
    });

    CLI::App* keys = DeclareKeysCommand(parser, values.keys);
    // Touches no kernel facility: a keys file is made and signed where the root key lives.
    keys->callback([&values] {
        values.ended = true;
        values.status = values.keys.run();
    });

    CLI::App* load = parser.add_subcommand("load", "Load manifest into veriexec");
    CLI::Option* manifestFile =
        load->add_option("MANIFEST_FILE", values.load.manifestPath, "Path to manifest file to load")
            ->type_name("");
    DeclareSignatureOptions(*load, values.load.signature);
    load->callback([manifestFile, &values, &audit] {
        values.ended = true;
        if (!ModulesLoaded()) {
            values.status = 1;
            return;
        }
        if (manifestFile->count() == 0) {
            throw CLI::CallForHelp();
        }
        values.status = LoadManifest(values.load, audit);
        // A signed load that succeeded left the record at its manifest's serial or above.
        if (values.status == 0 && !values.load.signature.keyPath.empty() &&
            StandardOutputFailed()) {
            values.afterOutputFailure =
                RaisedRecordWarning(values.load.manifestPath, values.load.signature.serialFile, 0);
        }
    });

    AddStateChangeCommand(parser, values, audit, "activate", "Set veriexec to active state",
                          Activate);
    AddStateChangeCommand(parser, values, audit, "enforce", "Set veriexec to enforce state",
                          Enforce);
    AddStateChangeCommand(parser, values, audit, "lock",
                          "Lock veriexec (prevent further manifest loading)", Lock);
    CLI::App* status = parser.add_subcommand("status", "Show veriexec state");
    auto declareHelp = MoveHelpFlagLast(*status);
    AddFormatOption(*status, values.statusFormat);
    declareHelp();
    status->callback([&values] {
        values.ended = true;
        values.status = ModulesLoaded() ? ReportVeriexecState(values.statusFormat) : 1;
    });

    CLI::App* query = parser.add_subcommand("query", "Ask veriexec whether files are verified");
    auto declareQueryHelp = MoveHelpFlagLast(*query);
    query->add_option("FILE", values.query.files, "Files to ask about")->required()->type_name("");
    AddFormatOption(*query, values.query.format);
    declareQueryHelp();
    query->preparse_callback([&values](std::size_t) { values.troubleStatus = 2; });
    query->callback([&values] {
        values.ended = true;
        values.status = ModulesLoaded() ? Query(values.query) : 2;
    });
}
