#include "diff/report.h"

#include <fmt/core.h>

#include <utility>

#include "common/output_format.h"
#include "common/printable_path.h"
#include "manifest/format.h"
#include "manifest/signed_manifest.h"

namespace {

// The word of each kind, in the order of DifferenceKind: the start of its lines and its name
// in the JSON document.
constexpr const char* KindNames[] = {"added", "removed", "changed", "flags"};

int Index(DifferenceKind kind) {
    return static_cast<int>(kind);
}

// "none" for no flag at all, so that the line never ends in an empty word.
std::string FlagWords(uint8_t flags) {
    std::string words;
    for (std::string_view token : TokensOfFlags(flags)) {
        words += words.empty() ? "" : " ";
        words += token;
    }
    return words.empty() ? "none" : words;
}

// The tokens of `flags` as a JSON array.
std::string FlagArray(uint8_t flags) {
    std::string array;
    for (std::string_view token : TokensOfFlags(flags)) {
        array += fmt::format("{}\"{}\"", array.empty() ? "" : ",", token);
    }
    return "[" + array + "]";
}

std::string ManifestObject(const ComparedManifest& manifest, std::size_t entries) {
    std::string object =
        fmt::format(R"({{"manifest":{},"entries":{})", JsonString(manifest.path), entries);
    if (manifest.serial) {
        object += fmt::format(R"(,"serial":{},"key_id":{})", *manifest.serial,
                              JsonString(manifest.keyId));
    }
    return object + "}";
}

// The other paths of the difference's normal form, each as `show` gives it, after one
// another; "" for none.
std::string OtherAlike(const Difference& difference, std::string (*show)(std::string_view),
                       const char* separator) {
    std::string others;
    if (difference.alike == nullptr) {
        return others;
    }
    for (std::string_view path : *difference.alike) {
        if (path != difference.path) {
            others += (others.empty() ? "" : separator) + show(path);
        }
    }
    return others;
}

}  // namespace

DifferenceCounts CountDifferences(const ManifestComparison& comparison) {
    DifferenceCounts counts{};
    comparison.ForEachDifference(
        [&counts](const Difference& difference) { ++counts[Index(difference.kind)]; });
    return counts;
}

void PrintDifferences(std::ostream& out, const ComparedManifest& old,
                      const ComparedManifest& current, const ManifestComparison& comparison,
                      const DifferenceCounts& counts) {
    for (const ComparedManifest* manifest : {&old, &current}) {
        if (manifest->serial) {
            out << VerifiedLine(manifest->path, *manifest->serial, manifest->keyId,
                                manifest->signaturePath);
        }
    }
    comparison.ForEachDifference([&out](const Difference& difference) {
        out << fmt::format("{}: {}", KindNames[Index(difference.kind)],
                           PrintablePath(difference.path));
        if (difference.kind == DifferenceKind::Flags) {
            out << fmt::format(": {} -> {}", FlagWords(difference.oldFlags),
                               FlagWords(difference.newFlags));
        }
        if (std::string others = OtherAlike(difference, PrintablePath, ", "); !others.empty()) {
            out << " (same normal form as " << others << ')';
        }
        out << '\n';
    });
    out << fmt::format(
        "Compared {} entries with {}: {} added, {} removed, {} changed, {} flags changed\n",
        comparison.OldEntries(), comparison.NewEntries(), counts[0], counts[1], counts[2],
        counts[3]);
}

void PrintDifferencesJson(std::ostream& out, const ComparedManifest& old,
                          const ComparedManifest& current, const ManifestComparison& comparison,
                          const DifferenceCounts& counts) {
    out << R"({"old":)" << ManifestObject(old, comparison.OldEntries()) << R"(,"new":)"
        << ManifestObject(current, comparison.NewEntries());
    std::string countObject;
    // One array a kind, each written as the differences go by.
    for (int kind = 0; kind < 4; ++kind) {
        out << ",\"" << KindNames[kind] << "\":[";
        const char* separator = "";
        comparison.ForEachDifference([&, kind](const Difference& difference) {
            if (Index(difference.kind) != kind) {
                return;
            }
            std::string item = R"({"path":)" + JsonString(difference.path);
            if (difference.kind == DifferenceKind::Flags) {
                item += fmt::format(R"(,"old":{},"new":{})", FlagArray(difference.oldFlags),
                                    FlagArray(difference.newFlags));
            } else if (difference.kind != DifferenceKind::Changed) {
                item += R"(,"flags":)" + FlagArray(difference.kind == DifferenceKind::Added
                                                       ? difference.newFlags
                                                       : difference.oldFlags);
            }
            if (std::string others = OtherAlike(difference, JsonString, ","); !others.empty()) {
                item += R"(,"same_normal_form":[)" + others + "]";
            }
            out << std::exchange(separator, ",") << item << '}';
        });
        out << ']';
        countObject +=
            fmt::format(R"({}"{}":{})", kind == 0 ? "" : ",", KindNames[kind], counts[kind]);
    }
    out << R"(,"counts":{)" << countObject << "}}\n";
}
