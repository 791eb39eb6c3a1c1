#include "common/output_format.h"

#include <nlohmann/json.hpp>

#include "common/printable_path.h"

void AddFormatOption(CLI::App& command, OutputFormat& format) {
    command
        .add_option_function<std::string>(
            "--format",
            [&format](const std::string& value) {
                format = value == "json" ? OutputFormat::Json : OutputFormat::Text;
            },
            "Print the results as lines of text or as one JSON document (default text)")
        ->check(CLI::IsMember({"text", "json"}).description(""))
        ->type_name("text|json")
        ->take_last();
}

std::string JsonString(std::string_view text) {
    return nlohmann::json(PrintablePath(text)).dump();
}
