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

// `text` as a JSON string. Paths are bytes, JSON is UTF-8: a byte that is not part of a UTF-8
// character becomes U+FFFD rather than failing the whole document.
std::string JsonString(std::string_view text);
