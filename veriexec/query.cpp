#include "veriexec/query.h"

#include <fmt/core.h>
#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>

#include "common/printable_path.h"
#include "manifest/format.h"
#include "veriexec/platform.h"

namespace {

using Json = nlohmann::ordered_json;

struct Answer {
    std::string path;
    bool verified = false;
    PathCheckDetail detail;
};

// "verified: PATH" or "not verified: PATH", then why not and the entry's flags, when told.
std::string AnswerLine(const Answer& answer) {
    std::string line = fmt::format("{}: {}", answer.verified ? "verified" : "not verified",
                                   PrintablePath(answer.path));
    if (!answer.verified && !answer.detail.reason.empty()) {
        line += ": " + PrintablePath(answer.detail.reason);
    }
    if (answer.detail.flags) {
        if (auto tokens = TokensOfFlags(*answer.detail.flags); !tokens.empty()) {
            line += fmt::format(" (flags: {})", fmt::join(tokens, " "));
        }
    }
    return line + "\n";
}

// One object per file answered: "reason" and "flags" are null where the facility tells none.
std::string AnswerDocument(const std::vector<Answer>& answers) {
    Json files = Json::array();
    for (const Answer& answer : answers) {
        Json reason = nullptr;
        if (!answer.verified && !answer.detail.reason.empty()) {
            reason = PrintablePath(answer.detail.reason);
        }
        Json flags = nullptr;
        if (answer.detail.flags) {
            flags = Json::array();
            for (std::string_view token : TokensOfFlags(*answer.detail.flags)) {
                flags.push_back(std::string(token));
            }
        }
        files.push_back(Json{{"path", PrintablePath(answer.path)},
                             {"verified", answer.verified},
                             {"reason", reason},
                             {"flags", flags}});
    }
    // Paths are shown as in the text report, so two names that differ only in bytes that are
    // not UTF-8 stay two strings.
    return Json{{"files", files}}.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace

QueryOutcome QueryFiles(const QuerySettings& settings) {
    QueryOutcome outcome{true, true};
    std::vector<Answer> answers;
    for (const std::string& path : settings.files) {
        Answer answer;
        answer.path = path;
        PathCheck check = PlatformCheckPath(path.c_str(), answer.detail);
        if (check == PathCheck::Failed) {
            int error = errno;
            // Without the policy no file can be asked about.
            if (error == ENOSYS) {
                std::cerr << fmt::format(
                    "Error: cannot query {}: the mac_veriexec policy is not loaded\n",
                    PrintablePath(path));
                return {};
            }
            std::string reason =
                answer.detail.reason.empty() ? std::strerror(error) : answer.detail.reason;
            std::cerr << fmt::format("Error: cannot query {}: {}\n", PrintablePath(path),
                                     PrintablePath(reason));
            outcome.answered = false;
            continue;
        }
        answer.verified = check == PathCheck::Verified;
        outcome.allVerified = outcome.allVerified && answer.verified;
        if (settings.format == OutputFormat::Text) {
            std::cout << AnswerLine(answer);
        } else {
            answers.push_back(std::move(answer));
        }
    }
    if (settings.format == OutputFormat::Json) {
        std::cout << AnswerDocument(answers);
    }
    return outcome;
}
