#include "generate/options.h"

#include <charconv>
#include <limits>

namespace {

// A count of workers is read as a plain decimal number: CLI11's own conversion would take
// "0x10" for 16, "010" for 8 and an empty value for 0. Fewer than one worker would hash
// nothing and still write an empty manifest as if it were complete.
std::string CheckJobsCount(const std::string& text) {
    int64_t value = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error == std::errc::invalid_argument || stop != end) {
        return "JOBS_COUNT must be a decimal number, not '" + text + "'";
    }
    if (error == std::errc::result_out_of_range || value > std::numeric_limits<int32_t>::max()) {
        return "JOBS_COUNT must be at most " + std::to_string(std::numeric_limits<int32_t>::max()) +
               ", not '" + text + "'";
    }
    if (value < 1) {
        return "JOBS_COUNT must be at least 1, not '" + text + "'";
    }
    return {};
}

// A single-valued text option whose last value is kept; an empty value still counts as given.
void AddTextOption(CLI::App& command, const char* names, const char* valueName, const char* help,
                   std::string& value, bool& given) {
    command
        .add_option_function<std::string>(
            names,
            [&value, &given](const std::string& text) {
                value = text;
                given = true;
            },
            help)
        ->type_name(valueName)
        ->take_last();
}

}  // namespace

void DeclareGenerateOptions(CLI::App& command, GenerateSettings& settings) {
    // The help flag was copied from the parent when the command was made; it is declared
    // again after the options so that the help lists it last.
    std::string helpNames;
    std::string helpText;
    if (const CLI::Option* inherited = command.get_help_ptr()) {
        helpNames = inherited->get_name(false, true);
        helpText = inherited->get_description();
    }
    command.set_help_flag();

    AddTextOption(command, "-o,--out-file", "MANIFEST_FILE",
                  "The name of the manifest file to generate.", settings.manifestPath,
                  settings.manifestGiven);
    command
        .add_option_function<std::string>(
            "-j,--jobs",
            [&settings](const std::string& text) {
                // Checked by CheckJobsCount: a decimal number that fits.
                std::from_chars(text.data(), text.data() + text.size(), settings.jobs);
                settings.jobsGiven = true;
            },
            "The count of parallel jobs.")
        ->type_name("JOBS_COUNT")
        ->check(CheckJobsCount)
        ->take_last();
    command.add_option("-d", settings.directories, "Add directory to signing files")
        ->type_name("dir")
        ->allow_extra_args(false);
    command.add_option("-f", settings.files, "Add file to signing files")
        ->type_name("file")
        ->allow_extra_args(false);
    AddTextOption(command, "-c,--config", "CONFIG", "Path to config file", settings.configPath,
                  settings.configGiven);
    command.add_option("-R,--root", settings.root, "Sign the system image, jail or disk at DIR")
        ->type_name("DIR")
        ->take_last();

    command.set_help_flag(helpNames, helpText);
}

bool HasSomethingToDo(const GenerateSettings& settings) {
    return settings.manifestGiven || !settings.directories.empty() || settings.configGiven;
}
