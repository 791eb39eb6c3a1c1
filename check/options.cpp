#include "check/options.h"

#include "manifest/options.h"

void DeclareCheckOptions(CLI::App& command, CheckSettings& settings) {
    auto declareHelp = MoveHelpFlagLast(command);
    AddJobsOption(command, settings.walk);
    AddRootOption(command, settings.walk, "Check the system image, jail or disk at DIR");
    CLI::Option* coverage =
        command.add_flag("--coverage", settings.coverage,
                         "Also list the files that generate would sign and the manifest lacks");
    for (CLI::Option* option : AddWalkOptions(command, settings.walk)) {
        option->needs(coverage);
    }
    AddCacheOption(command, settings.walk,
                   "Read only the files whose status differs from what FILE records");
    AddProgressOptions(command, settings.walk);
    DeclareSignatureOptions(command, settings.signature);
    AddFormatOption(command, settings.format);
    command
        .add_option_function<std::string>(
            "--metrics",
            [&settings](const std::string& path) {
                settings.metricsPath = path;
                settings.metricsGiven = true;
            },
            "Also write the result to FILE, replaced whole, in node_exporter's textfile format")
        ->type_name("FILE");
    // Required: a check of nothing must not pass for a check that found nothing.
    command.add_option("MANIFEST_FILE", settings.manifestPath, "Path to manifest file to check")
        ->type_name("")
        ->required();
    declareHelp();
}
