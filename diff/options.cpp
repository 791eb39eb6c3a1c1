#include "diff/options.h"

#include "common/output_format.h"

void DeclareDiffOptions(CLI::App& command, DiffSettings& settings) {
    command
        .add_option("--key", settings.keyPath,
                    "Verify both manifests with their signatures MANIFEST.sig and the PEM public "
                    "key PUBKEY first")
        ->type_name("PUBKEY")
        ->take_last();
    AddFormatOption(command, settings.format);
    command.add_option("OLD", settings.oldPath, "The manifest in place")->type_name("")->required();
    command.add_option("NEW", settings.newPath, "The manifest to compare with it")
        ->type_name("")
        ->required();
}
