#include "generate/options.h"

#include <charconv>
#include <functional>

namespace {

// A count of workers is read as a plain decimal number: CLI11's own conversion would take
// "0x10" for 16, "010" for 8 and an empty value for 0. Fewer than one worker would hash
// nothing and still write an empty manifest as if it were complete. A thread for each of a
// mistyped 100000 would take every process slot of the host, and its other programs could no
// longer start one: no host has use for more workers than MaxJobs.
constexpr int64_t MaxJobs = 1024;

std::string CheckJobsCount(const std::string& text) {
    int64_t value = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error == std::errc::invalid_argument || stop != end) {
        return "JOBS_COUNT must be a decimal number, not '" + text + "'";
    }
    if (error == std::errc::result_out_of_range || value > MaxJobs) {
        return "JOBS_COUNT must be at most " + std::to_string(MaxJobs) + ", not '" + text + "'";
    }
    if (value < 1) {
        return "JOBS_COUNT must be at least 1, not '" + text + "'";
    }
    return {};
}

// A single-valued text option whose last value is kept; an empty value still counts as given.
CLI::Option* AddTextOption(CLI::App& command, const char* names, const char* valueName,
                           const char* help, std::string& value, bool& given) {
    return command
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
    auto declareHelp = MoveHelpFlagLast(command);
    AddTextOption(command, "-o,--out-file", "MANIFEST_FILE",
                  "The name of the manifest file to generate.", settings.manifestPath,
                  settings.manifestGiven);
    AddJobsOption(command, settings);
    AddWalkOptions(command, settings);
    AddRootOption(command, settings, "Sign the system image, jail or disk at DIR");
    AddCacheOption(command, settings,
                   "Reuse what FILE records of files that have not changed, and update it");
    AddProgressOptions(command, settings);
    declareHelp();
}

bool HasSomethingToDo(const GenerateSettings& settings) {
    return settings.manifestGiven || !settings.directories.empty() || settings.configGiven;
}

std::function<void()> MoveHelpFlagLast(CLI::App& command) {
    std::string names;
    std::string text;
    if (const CLI::Option* inherited = command.get_help_ptr()) {
        names = inherited->get_name(false, true);
        text = inherited->get_description();
    }
    command.set_help_flag();
    return [&command, names, text] { command.set_help_flag(names, text); };
}

void AddJobsOption(CLI::App& command, GenerateSettings& settings) {
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
}

void AddRootOption(CLI::App& command, GenerateSettings& settings, const char* help) {
    command.add_option("-R,--root", settings.root, help)->type_name("DIR")->take_last();
}

void AddCacheOption(CLI::App& command, GenerateSettings& settings, const char* help) {
    command.add_option("--cache", settings.cachePath, help)->type_name("FILE")->take_last();
}

// Of --progress and --no-progress, the last given counts. CLI11 runs options' callbacks in the
// order they are declared, so the order they were given is read once the command is parsed.
void AddProgressOptions(CLI::App& command, GenerateSettings& settings) {
    CLI::Option* shown = command.add_flag(
        "--progress", "Show the live status line also when standard error is not a terminal");
    CLI::Option* hidden = command.add_flag("--no-progress", "Never show the live status line");
    command.parse_complete_callback([&command, &settings, shown, hidden] {
        for (const CLI::Option* option : command.parse_order()) {
            if (option == shown || option == hidden) {
                settings.progress = option == shown ? ProgressMode::Shown : ProgressMode::Hidden;
            }
        }
    });
}

std::vector<CLI::Option*> AddWalkOptions(CLI::App& command, GenerateSettings& settings) {
    return {command.add_option("-d", settings.directories, "Add directory to signing files")
                ->type_name("dir")
                ->allow_extra_args(false),
            command.add_option("-f", settings.files, "Add file to signing files")
                ->type_name("file")
                ->allow_extra_args(false),
            AddTextOption(command, "-c,--config", "CONFIG", "Path to config file",
                          settings.configPath, settings.configGiven)};
}
