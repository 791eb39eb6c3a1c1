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

CLI::Option* DeclareKeysFileOption(CLI::App& command, std::string& keysFile) {
    return command
        .add_option("--keys", keysFile,
                    "The installed keys file, signed by the root key (default " + keysFile + ")")
        ->type_name("FILE")
        ->take_last();
}

CLI::Option* AddNumberOption(CLI::App& command, const std::string& name,
                             std::optional<uint64_t>& number, const std::string& help) {
    return command
        .add_option_function<std::string>(
            name,
            [&number](const std::string& text) {
                uint64_t value = 0;
                ParseSerial(text, value);
                number = value;
            },
            help)
        ->type_name("N")
        ->check([](const std::string& text) -> std::string {
            uint64_t value = 0;
            return ParseSerial(text, value)
                       ? ""
                       : "N must be an unsigned 64-bit decimal number, not '" + text + "'";
        })
        ->take_last();
}

CLI::Option* DeclareSignOptions(CLI::App& command, SignSettings& settings) {
    command.add_option("-k,--key", settings.keyPath, "The PEM private key to sign with")
        ->type_name("KEY")
        ->required()
        ->take_last();
    AddNumberOption(command, "--serial", settings.serial,
                    "The manifest's serial (default: the current time in seconds since the epoch)");
    return command
        .add_option("MANIFEST_FILE", settings.manifestPath, "Path to manifest file to sign")
        ->type_name("");
}
