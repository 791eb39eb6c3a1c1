// Fuzzes the configuration reader with any text: what it queues, the types it adds, and the
// one message it may return about a fault.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "generate/config.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// Every string value within `document`, walked without recursion: a value may be nested as
// deep as its text is long.
std::set<std::string> StringValues(const nlohmann::json& document) {
    std::set<std::string> strings;
    std::vector<const nlohmann::json*> pending{&document};
    while (!pending.empty()) {
        const nlohmann::json* value = pending.back();
        pending.pop_back();
        if (value->is_string()) {
            strings.insert(value->get<std::string>());
        } else if (value->is_structured()) {
            for (const nlohmann::json& element : *value) {
                pending.push_back(&element);
            }
        }
    }
    return strings;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> dirs;
    std::set<std::string> types;
    std::istringstream stream(text);
    const std::string said = ReadConfigurationFrom(stream, dirs, types);
    RequireProperty(said.empty() || (said.find_first_of("\n\r") == said.size() - 1 &&
                                     (said.rfind("Config file error, ", 0) == 0 ||
                                      said.rfind("Can't open config file: ", 0) == 0)),
                    "the message is one line that says the configuration is at fault");

    // The JSON value at the start of the text as the library reads it, null when there is none:
    // the library is not under test, what the reader makes of the value is.
    nlohmann::json document;
    std::istringstream again(text);
    try {
        again >> document;
    } catch (const nlohmann::json::exception&) {
        document = nullptr;
    }
    RequireProperty((dirs.empty() && types.empty()) || document.is_object(),
                    "only an object adds anything");
    const std::set<std::string> strings = StringValues(document);
    for (const std::string& dir : dirs) {
        RequireProperty(strings.count(dir) == 1, "every queued path is a string of the text");
        RequireProperty(dir.find('\0') == std::string::npos,
                        "a queued path is what the system will open");
    }
    for (const std::string& type : types) {
        RequireProperty(strings.count(type) == 1, "every type is a string of the text");
    }
    return 0;
}
