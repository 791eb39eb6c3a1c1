#include "keys/command.h"

#include <string>

#include "common/output_format.h"
#include "manifest/keys_file.h"
#include "manifest/options.h"

namespace {

CLI::Option* AddDateOption(CLI::App& command, const std::string& name, std::optional<int64_t>& date,
                           const std::string& help) {
    return command
        .add_option_function<std::string>(
            name,
            [&date](const std::string& text) {
                int64_t seconds = 0;
                ParseUtcDate(text, seconds);
                date = seconds;
            },
            help)
        ->type_name("DATE")
        ->check([](const std::string& text) -> std::string {
            int64_t seconds = 0;
            return ParseUtcDate(text, seconds) ? ""
                                               : "DATE must be a UTC date and time such as "
                                                 "2027-03-01T00:00:00Z, not '" +
                                                     text + "'";
        })
        ->take_last();
}

// The file edited or signed, the first operand of add, revoke and sign.
void AddFileOperand(CLI::App& command, std::string& file, const std::string& help) {
    command.add_option("FILE", file, help)->type_name("")->required();
}

// A subcommand that runs `action` with its own settings, which `settings` holds.
template <typename Settings>
CLI::App* AddAction(CLI::App& keys, KeysSettings& settings, int (*action)(const Settings&),
                    const Settings& own, const char* word, const char* help) {
    CLI::App* command = keys.add_subcommand(word, help);
    command->callback(
        [&settings, action, &own] { settings.run = [action, &own] { return action(own); }; });
    return command;
}

}  // namespace

CLI::App* DeclareKeysCommand(CLI::App& parser, KeysSettings& settings) {
    CLI::App* keys = parser.add_subcommand(
        "keys", "Make, sign and show the keys file of the keys that sign manifests");
    keys->require_subcommand(1, 1);

    CLI::App* add = AddAction(*keys, settings, AddKeys, settings.add, "add",
                              "Add signing keys to a draft keys file, made when missing");
    AddFileOperand(*add, settings.add.file, "The draft keys file");
    add->add_option("PUBKEY", settings.add.publicKeys, "The PEM public keys to add")
        ->type_name("")
        ->required();
    AddDateOption(*add, "--not-after", settings.add.notAfter,
                  "The date after which the keys sign no new manifest (default: none)");

    CLI::App* revoke = AddAction(*keys, settings, RevokeKeys, settings.revoke, "revoke",
                                 "Revoke keys in a draft keys file, made when missing");
    AddFileOperand(*revoke, settings.revoke.file, "The draft keys file");
    revoke
        ->add_option("ID", settings.revoke.ids,
                     "The full id of each key to revoke, or the 16-digit id of a listed key")
        ->type_name("")
        ->required()
        ->check([](const std::string& id) -> std::string {
            bool hex = id.find_first_not_of("0123456789abcdef") == std::string::npos;
            return hex && (id.size() == 64 || id.size() == 16)
                       ? ""
                       : "ID must be 64 or 16 lower-case hexadecimal digits, not '" + id + "'";
        });

    CLI::App* sign = AddAction(*keys, settings, SignKeys, settings.sign, "sign",
                               "Sign a draft keys file with the root key");
    DeclareSigningKeyOptions(*sign, settings.sign.key, "ROOTKEY",
                             "The root key: a PEM private key, or a URI such as pkcs11:...");
    AddNumberOption(*sign, "--serial", settings.sign.serial,
                    "The keys file's serial (default: one above the draft's, or 1)");
    AddNumberOption(*sign, "--floor", settings.sign.floor,
                    "The serial to which the record of manifest serials falls when the key that "
                    "signed it is revoked (default: the draft's, or none)");
    AddDateOption(*sign, "--expires", settings.sign.expires,
                  "When the keys file expires, a date in the future")
        ->required();
    AddFileOperand(*sign, settings.sign.file, "The draft keys file to sign");

    CLI::App* show = AddAction(*keys, settings, ShowKeys, settings.show, "show",
                               "Show a keys file, its keys and whether it verifies");
    show->add_option("--key", settings.show.keyPath,
                     "Verify the keys file with the PEM public key ROOTPUB (default " +
                         settings.show.keyPath + ")")
        ->type_name("ROOTPUB")
        ->take_last();
    CLI::Option* installed = DeclareKeysFileOption(*show, settings.show.keysFile);
    AddFormatOption(*show, settings.show.format);
    show->add_option("FILE", settings.show.file, "The keys file to show (default: that of --keys)")
        ->type_name("")
        ->excludes(installed);

    KeysInstallSettings& installing = settings.install;
    CLI::App* install =
        AddAction(*keys, settings, InstallKeys, installing, "install",
                  "Install a keys file that the root key signed, and raise its record");
    install
        ->add_option("--key", installing.keyPath,
                     "Verify the keys file with the PEM public key ROOTPUB (default " +
                         installing.keyPath + ")")
        ->type_name("ROOTPUB")
        ->take_last();
    DeclareKeysFileOption(*install, installing.keysFile);
    install
        ->add_option("--serial-file", installing.serialFile,
                     "The record of the highest serial loaded, beside which the keys file is "
                     "recorded (default " +
                         installing.serialFile + ")")
        ->type_name("FILE")
        ->take_last();
    install
        ->add_option("--manifest", installing.manifestPath,
                     "The manifest in place, which must verify under the new keys file (default " +
                         installing.manifestPath + ")")
        ->type_name("PATH")
        ->take_last();
    install
        ->add_option("--with", installing.with,
                     "A signed manifest, its signature beside it, put in place with the keys "
                     "file when the manifest in place would not verify under it")
        ->type_name("MANIFEST")
        ->take_last();
    AddFormatOption(*install, installing.format);
    install->add_option("NEWFILE", installing.file, "The signed keys file, NEWFILE.sig beside it")
        ->type_name("")
        ->required();
    return keys;
}
