#include "diff/options.h"

void DeclareDiffOptions(CLI::App& command, DiffSettings& settings) {
    command
        .add_option("--key", settings.keyPath,
                    "Verify both manifests with their signatures MANIFEST.sig and the PEM public "
                    "key PUBKEY first")
        ->type_name("PUBKEY")
        ->take_last();
    command
        .add_option_function<std::string>(
            "--format",
            [&settings](const std::string& format) { settings.json = format == "json"; },
            "Print the differences as text (the default) or as one JSON document")
        ->type_name("FORMAT")
        ->check(CLI::IsMember({"text", "json"}))
        ->take_last();
    command.add_option("OLD", settings.oldPath, "The manifest in place")->type_name("")->required();
    command.add_option("NEW", settings.newPath, "The manifest to compare with it")
        ->type_name("")
        ->required();
}
