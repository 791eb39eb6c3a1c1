#include "diff/options.h"

#include "common/output_format.h"
#include "manifest/options.h"

void DeclareDiffOptions(CLI::App& command, DiffSettings& settings) {
    CLI::Option* key =
        command
            .add_option("--key", settings.signature.keyPath,
                        "Verify both manifests with their signatures MANIFEST.sig and the PEM "
                        "public key PUBKEY first")
            ->type_name("PUBKEY")
            ->take_last();
    command
        .add_option("--serial-file", settings.signature.serialFile,
                    "The record of the highest serial loaded, beside which the installed keys "
                    "file is recorded (default " +
                        settings.signature.serialFile + ")")
        ->type_name("FILE")
        ->take_last()
        ->needs(key);
    DeclareKeysFileOption(command, settings.signature.keysFile)->needs(key);
    AddFormatOption(command, settings.format);
    command.add_option("OLD", settings.oldPath, "The manifest in place")->type_name("")->required();
    command.add_option("NEW", settings.newPath, "The manifest to compare with it")
        ->type_name("")
        ->required();
}
