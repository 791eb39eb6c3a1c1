#include "diff/report.h"

#include <fmt/core.h>

#include <nlohmann/json.hpp>

#include "common/printable_path.h"
#include "manifest/format.h"
#include "manifest/signed_manifest.h"

namespace {

using Json = nlohmann::ordered_json;

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

Json FlagArray(uint8_t flags) {
    Json tokens = Json::array();
    for (std::string_view token : TokensOfFlags(flags)) {
        tokens.push_back(std::string(token));
    }
    return tokens;
}

// A path is bytes, not always UTF-8: a byte that is not is written as U+FFFD rather than
// failing the whole document.
std::string Dump(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json ManifestObject(const ComparedManifest& manifest, std::size_t entries) {
    Json object{{"manifest", manifest.path}, {"entries", entries}};
    if (manifest.serial) {
        object["serial"] = *manifest.serial;
        object["key_id"] = manifest.keyId;
    }
    return object;
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
    out << "{\"old\":" << Dump(ManifestObject(old, comparison.OldEntries()))
        << ",\"new\":" << Dump(ManifestObject(current, comparison.NewEntries()));
    Json countObject;
    // One array a kind, each written as the differences go by.
    for (int kind = 0; kind < 4; ++kind) {
        out << ",\"" << KindNames[kind] << "\":[";
        const char* separator = "";
        comparison.ForEachDifference([&, kind](const Difference& difference) {
            if (Index(difference.kind) != kind) {
                return;
            }
            Json item{{"path", std::string(difference.path)}};
            if (difference.kind == DifferenceKind::Flags) {
                item["old"] = FlagArray(difference.oldFlags);
                item["new"] = FlagArray(difference.newFlags);
            } else if (difference.kind != DifferenceKind::Changed) {
                item["flags"] =
                    FlagArray(difference.kind == DifferenceKind::Added ? difference.newFlags
                                                                       : difference.oldFlags);
            }
            out << std::exchange(separator, ",") << Dump(item);
        });
        out << ']';
        countObject[KindNames[kind]] = counts[kind];
    }
    out << ",\"counts\":" << Dump(countObject) << "}\n";
}
