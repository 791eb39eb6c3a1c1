#include "cli/commands.h"

#include <cstdlib>

#include "cli/standard_streams.h"
#include "generate/options.h"
#include "generate/run.h"
#include "veriexec/loader.h"
#include "veriexec/modules.h"
#include "veriexec/state_change.h"
#include "veriexec/status.h"

namespace {

// The handlers of every command but generate end the process themselves.
[[noreturn]] void EndCommand(int status) {
    std::exit(FinishStandardOutput(status));
}

// A command without options does not even accept -h: the front end answers it as a parse error.
CLI::App* AddBareCommand(CLI::App& parser, const char* word, const char* help) {
    CLI::App* command = parser.add_subcommand(word, help);
    command->set_help_flag();
    return command;
}

void AddStateChangeCommand(CLI::App& parser, const char* word, const char* help,
                           VeriexecRequest request) {
    AddBareCommand(parser, word, help)->callback([word, request] {
        CheckRequiredModules();
        EndCommand(SetVeriexecState(request, word));
    });
}

}  // namespace

void RegisterCommands(CLI::App& parser, CommandValues& values) {
    CLI::App* generate = parser.add_subcommand("generate", "Generate manifest file");
    DeclareGenerateOptions(*generate, values.generate);
    generate->callback([&values] {
        if (!HasSomethingToDo(values.generate)) {
            throw CLI::CallForHelp();
        }
        values.generateStatus = RunGenerate(values.generate);
    });

    CLI::App* load = parser.add_subcommand("load", "Load manifest into veriexec");
    CLI::Option* manifestFile =
        load->add_option("MANIFEST_FILE", values.manifestFile, "Path to manifest file to load")
            ->type_name("");
    load->callback([manifestFile, &values] {
        CheckRequiredModules();
        if (manifestFile->count() == 0) {
            throw CLI::CallForHelp();
        }
        EndCommand(LoadManifest(values.manifestFile));
    });

    AddStateChangeCommand(parser, "activate", "Set veriexec to active state", Activate);
    AddStateChangeCommand(parser, "enforce", "Set veriexec to enforce state", Enforce);
    AddStateChangeCommand(parser, "lock", "Lock veriexec (prevent further manifest loading)", Lock);
    AddBareCommand(parser, "status", "Show veriexec state")->callback([] {
        CheckRequiredModules();
        EndCommand(ReportVeriexecState());
    });
}
