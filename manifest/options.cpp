#include "manifest/options.h"

#include <string>

#include "manifest/passphrase.h"

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
    DeclareKeysFileOption(command, settings.keysFile)->needs(key);
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

void DeclareSigningKeyOptions(CLI::App& command, SigningKeySettings& settings,
                              const std::string& typeName, const std::string& help) {
    command.add_option("-k,--key", settings.location, help)
        ->type_name(typeName)
        ->required()
        ->take_last();
    command
        .add_option("--passin", settings.passin,
                    "Where the key's passphrase or the token's PIN comes from: env:VAR, "
                    "file:PATH, fd:N or stdin (default: asked on the terminal)")
        ->type_name("SOURCE")
        ->take_last()
        ->check([](const std::string& source) { return Passphrase::SourceRefusal(source); });
    command
        .add_option("--provider", settings.providers,
                    "Load the OpenSSL provider NAME beside the default one to open the key "
                    "(repeatable)")
        ->type_name("NAME")
        ->allow_extra_args(false);
}

CLI::Option* DeclareSignOptions(CLI::App& command, SignSettings& settings) {
    DeclareSigningKeyOptions(command, settings.key, "KEY",
                             "The private key to sign with: a PEM file, or a URI such as "
                             "pkcs11:... or handle:0x81...");
    AddNumberOption(command, "--serial", settings.serial,
                    "The manifest's serial (default: the current time in seconds since the epoch)");
    return command
        .add_option("MANIFEST_FILE", settings.manifestPath, "Path to manifest file to sign")
        ->type_name("");
}
