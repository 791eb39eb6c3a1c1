#include "check/metrics.h"

#include <fmt/core.h>

namespace {

void AddMetric(std::string& text, const char* name, const char* help) {
    text += fmt::format("# HELP pelmor_sign_check_{} {}\n# TYPE pelmor_sign_check_{} gauge\n", name,
                        help, name);
}

}  // namespace

std::string CheckMetricsFile::Check() const {
    int error = file_.Check();
    return error == 0 ? "" : file_.ErrorLine("metrics file", error);
}

std::string CheckMetricsFile::Write(const CheckSummary& summary, int64_t time) const {
    std::string text;
    AddMetric(text, "completed", "Whether the check could be made (1) or not (0).");
    text += fmt::format("pelmor_sign_check_completed {}\n", summary.made ? 1 : 0);
    AddMetric(text, "timestamp_seconds", "When the check ended, in seconds since the epoch.");
    text += fmt::format("pelmor_sign_check_timestamp_seconds {}\n", time);
    if (summary.serial) {
        AddMetric(text, "manifest_serial", "The serial of the manifest, verified with its key.");
        text += fmt::format("pelmor_sign_check_manifest_serial {}\n", *summary.serial);
    }
    // Counts of a check that was not made would pass for the state of the disk.
    if (summary.made) {
        AddMetric(text, "entries", "The entries of the manifest.");
        text += fmt::format("pelmor_sign_check_entries {}\n", summary.entries);
        AddMetric(text, "files", "The files found, by kind.");
        for (const auto& [kind, count] : {std::pair{"unchanged", summary.unchanged},
                                          {"changed", summary.changed},
                                          {"missing", summary.missing},
                                          {"unreadable", summary.unreadable}}) {
            text += fmt::format("pelmor_sign_check_files{{kind=\"{}\"}} {}\n", kind, count);
        }
        if (summary.coverage) {
            text += fmt::format("pelmor_sign_check_files{{kind=\"not_in_manifest\"}} {}\n",
                                summary.notInManifest);
        }
        AddMetric(text, "errors", "Bad manifest lines and faults of the walk reported.");
        text += fmt::format("pelmor_sign_check_errors {}\n", summary.errors);
    }
    int error = file_.Replace({text});
    return error == 0 ? "" : file_.ErrorLine("metrics file", error);
}
