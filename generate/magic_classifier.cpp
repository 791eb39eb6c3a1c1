#include "generate/magic_classifier.h"

#include <fmt/core.h>

#include "generate/shared_state.h"

namespace {

// ELF details and text encodings are not needed to choose a type, and they cost time.
constexpr int ClassifierFlags = MAGIC_NO_CHECK_ELF | MAGIC_NO_CHECK_ENCODING;

const char* ErrorText(magic_t cookie) {
    const char* text = magic_error(cookie);
    return text != nullptr ? text : "unknown error";
}

}  // namespace

MagicClassifier::MagicClassifier() : cookie_(magic_open(ClassifierFlags)) {
    if (cookie_ == nullptr) {
        FailDuringRun("Error: Unable to initialize magic library\n");
    }
    if (magic_load(cookie_, nullptr) != 0) {
        std::string message =
            fmt::format("Error: Cannot load magic database - {}\n", ErrorText(cookie_));
        magic_close(cookie_);
        FailDuringRun(message);
    }
}

MagicClassifier::~MagicClassifier() {
    magic_close(cookie_);
}

std::string MagicClassifier::Describe(const std::string& path) {
    const char* description = magic_file(cookie_, path.c_str());
    if (description == nullptr) {
        std::string message = fmt::format("Error: Unable to determine file type for {} - {}\n",
                                          path, ErrorText(cookie_));
        magic_close(cookie_);
        FailDuringRun(message);
    }
    return description;
}
