// The form of a command's results on standard output: lines for people, or one JSON document
// for programs; the --format option that chooses it, and the JSON text of a string.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <string_view>

enum class OutputFormat { Text, Json };

// Declares --format text|json, default text, the last one given kept; any other value is a
// parse error.
void AddFormatOption(CLI::App& command, OutputFormat& format);

// `text` as a JSON string: the JSON text of what PrintablePath shows of it. Paths are bytes and
// JSON is UTF-8; escaped, two different names stay two different strings, each spelled as the
// text report spells it.
std::string JsonString(std::string_view text);
