#include "check/metrics.h"

#include <fcntl.h>
#include <fmt/core.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "common/file_io.h"
#include "common/printable_path.h"

namespace {

// How every metrics file written here begins.
constexpr std::string_view HelpStart = "# HELP pelmor_sign_check_";

void AddMetric(std::string& text, const char* name, const char* help) {
    text += HelpStart;
    text += fmt::format("{} {}\n# TYPE pelmor_sign_check_{} gauge\n", name, help, name);
}

}  // namespace

std::string CheckMetricsFile::Check() const {
    if (int error = file_.Check(); error != 0) {
        return file_.ErrorLine("metrics file", error);
    }
    // Non-blocking: a FIFO planted since the check above must not hold the check up.
    UniqueFd fd(open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    std::string held;
    int error = !fd.Valid() ? errno : ReadAll(fd.Get(), held, 64 * 1024);
    if ((!fd.Valid() && error == ENOENT) ||
        (error == 0 && (held.empty() || held.rfind(HelpStart, 0) == 0))) {
        return "";
    }
    return error == 0 || error == EFBIG
               ? fmt::format("Error: refusing {}: not a metrics file\n", PrintablePath(path_))
               : fmt::format("Error: cannot read metrics file {}: {}\n", PrintablePath(path_),
                             std::strerror(error));
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
        AddMetric(text, "bad_lines", "Bad manifest lines reported.");
        text += fmt::format("pelmor_sign_check_bad_lines {}\n", summary.badLines);
        AddMetric(text, "errors", "Bad manifest lines and faults of the walk reported.");
        text += fmt::format("pelmor_sign_check_errors {}\n", summary.errors);
    }
    int error = file_.Replace({text});
    return error == 0 ? "" : file_.ErrorLine("metrics file", error);
}
