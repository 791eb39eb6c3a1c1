#include "check/report.h"

#include <fmt/core.h>

#include <iostream>

#include "common/printable_path.h"

namespace {

using Outcome = CheckedEntry::Outcome;

// Standard output written in pieces of about 64 KiB: few writes, and never the whole report
// in memory.
class ChunkedOutput {
  public:
    ChunkedOutput() = default;
    ChunkedOutput(const ChunkedOutput&) = delete;
    ChunkedOutput& operator=(const ChunkedOutput&) = delete;
    ~ChunkedOutput() { std::cout << text_; }

    void Add(std::string_view piece) {
        text_ += piece;
        if (text_.size() >= 64 * 1024) {
            std::cout << text_;
            text_.clear();
        }
    }

  private:
    std::string text_;
};

// Calls `visit` with each path of the blocks, one a line.
template <typename Visit>
void ForEachUnlisted(const std::vector<std::string_view>& unlisted, Visit visit) {
    for (std::string_view block : unlisted) {
        for (size_t end; (end = block.find('\n')) != std::string_view::npos;) {
            visit(block.substr(0, end));
            block.remove_prefix(end + 1);
        }
    }
}

void PrintText(const CheckSummary& summary, const std::vector<CheckedEntry>& entries,
               const std::vector<std::string_view>& unlisted) {
    ChunkedOutput out;
    for (const CheckedEntry& entry : entries) {
        switch (entry.outcome) {
            case Outcome::Unchanged:
                break;
            case Outcome::Changed:
                out.Add(fmt::format("changed: {}\n", PrintablePath(entry.path)));
                break;
            case Outcome::Missing:
                out.Add(fmt::format("missing: {}\n", PrintablePath(entry.path)));
                break;
            case Outcome::Unreadable:
                out.Add(fmt::format("unreadable: {}: {}\n", PrintablePath(entry.path),
                                    PrintablePath(entry.cause)));
                break;
        }
    }
    ForEachUnlisted(unlisted, [&out](std::string_view path) {
        out.Add(fmt::format("not in manifest: {}\n", PrintablePath(path)));
    });
    out.Add(fmt::format("Checked {} entries: {} unchanged, {} changed, {} missing, {} unreadable",
                        summary.entries, summary.unchanged, summary.changed, summary.missing,
                        summary.unreadable));
    if (summary.coverage) {
        out.Add(fmt::format(", {} not in manifest", summary.notInManifest));
    }
    // Said only when there are some: a manifest of bad lines alone is no check of 0 entries
    // that found nothing.
    if (summary.badLines > 0) {
        out.Add(fmt::format(", {} bad line{}", summary.badLines, summary.badLines == 1 ? "" : "s"));
    }
    out.Add("\n");
}

void PrintJson(const std::string& manifestPath, const CheckSummary& summary,
               const std::vector<CheckedEntry>& entries,
               const std::vector<std::string_view>& unlisted) {
    ChunkedOutput out;
    out.Add(fmt::format(
        R"({{"manifest":{},"serial":{},"key_id":{},"counts":{{"entries":{},"unchanged":{},)"
        R"("changed":{},"missing":{},"unreadable":{},{}"bad_lines":{},"errors":{}}},"problems":{{)",
        JsonString(manifestPath), summary.serial ? std::to_string(*summary.serial) : "null",
        summary.serial ? JsonString(summary.keyId) : "null", summary.entries, summary.unchanged,
        summary.changed, summary.missing, summary.unreadable,
        summary.coverage ? fmt::format(R"("not_in_manifest":{},)", summary.notInManifest) : "",
        summary.badLines, summary.errors));
    // Each problem is written as it is made, its strings escaped by nlohmann: no tree of the
    // whole report is ever built.
    const char* separator = "";
    auto item = [&out, &separator](std::string_view path, const std::string* reason) {
        out.Add(separator);
        out.Add(R"({"path":)");
        out.Add(JsonString(path));
        if (reason != nullptr) {
            out.Add(R"(,"reason":)");
            out.Add(JsonString(*reason));
        }
        out.Add("}");
        separator = ",";
    };
    for (const auto& [kind, outcome] : {std::pair{"changed", Outcome::Changed},
                                        {"missing", Outcome::Missing},
                                        {"unreadable", Outcome::Unreadable}}) {
        out.Add(fmt::format(R"({}"{}":[)", outcome == Outcome::Changed ? "" : ",", kind));
        separator = "";
        for (const CheckedEntry& entry : entries) {
            if (entry.outcome == outcome) {
                item(entry.path, outcome == Outcome::Unreadable ? &entry.cause : nullptr);
            }
        }
        out.Add("]");
    }
    if (summary.coverage) {
        out.Add(R"(,"not_in_manifest":[)");
        separator = "";
        ForEachUnlisted(unlisted, [&item](std::string_view path) { item(path, nullptr); });
        out.Add("]");
    }
    out.Add("}}\n");
}

}  // namespace

void PrintCheckReport(OutputFormat format, const std::string& manifestPath,
                      const CheckSummary& summary, const std::vector<CheckedEntry>& entries,
                      const std::vector<std::string_view>& unlisted) {
    if (format == OutputFormat::Json) {
        PrintJson(manifestPath, summary, entries, unlisted);
    } else {
        PrintText(summary, entries, unlisted);
    }
}
