#include "manifest/options.h"

#include <string>

void DeclareSignatureOptions(CLI::App& command, SignatureSettings& settings) {
    CLI::Option* key =
        command
            .add_option("--key", settings.keyPath,
                        "Verify the manifest with its signature MANIFEST_FILE.sig and the PEM "
                        "public key PUBKEY first")
            ->type_name("PUBKEY")
            ->take_last();
    command
        .add_option("--serial-file", settings.serialFile,
                    "The record of the highest serial loaded (default " + settings.serialFile + ")")
        ->type_name("FILE")
        ->take_last()
        ->needs(key);
}

CLI::Option* DeclareSignOptions(CLI::App& command, SignSettings& settings) {
    command.add_option("-k,--key", settings.keyPath, "The PEM private key to sign with")
        ->type_name("KEY")
        ->required()
        ->take_last();
    command
        .add_option_function<std::string>(
            "--serial",
            [&settings](const std::string& text) {
                uint64_t serial = 0;
                ParseSerial(text, serial);
                settings.serial = serial;
            },
            "The manifest's serial (default: the current time in seconds since the epoch)")
        ->type_name("N")
        ->check([](const std::string& text) -> std::string {
            uint64_t serial = 0;
            return ParseSerial(text, serial)
                       ? ""
                       : "N must be an unsigned 64-bit decimal number, not '" + text + "'";
        })
        ->take_last();
    return command
        .add_option("MANIFEST_FILE", settings.manifestPath, "Path to manifest file to sign")
        ->type_name("");
}
