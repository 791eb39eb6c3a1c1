#include "veriexec/audit_log.h"

#include <fmt/core.h>
#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

#include <string_view>
#include <vector>

#include "common/normal_path.h"
#include "common/printable_path.h"

namespace {

// The name of `user`, or "?" when the password database has none.
std::string UserName(uid_t user) {
    passwd entry{}, *found = nullptr;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    if (getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return "?";
    }
    return entry.pw_name;
}

}  // namespace

void AuditLog::Record(AuditKind kind, const std::string& event) {
    uid_t user = getuid();
    Write(kind, fmt::format("user {} ({}): {}", PrintablePath(UserName(user)), user, event));
}

// No LOG_NDELAY: the log socket is opened at the first line, after the standard descriptors
// are in place. No LOG_CONS or LOG_PERROR: the lines go nowhere else.
SyslogAuditLog::SyslogAuditLog() {
    openlog("pelmor-sign", LOG_PID, LOG_AUTH);
}

SyslogAuditLog::~SyslogAuditLog() {
    closelog();
}

void SyslogAuditLog::Write(AuditKind kind, const std::string& line) {
    syslog(LOG_AUTH | (kind == AuditKind::Refusal ? LOG_WARNING : LOG_NOTICE), "%s", line.c_str());
}

std::string AuditedPath(const std::string& path) {
    return PrintablePath(AbsolutePath(path));
}

std::string RefusalEvent(const std::string& path, const std::string& error) {
    std::string_view reason(error);
    reason = reason.substr(0, reason.find('\n'));
    if (constexpr std::string_view prefix = "Error: "; reason.substr(0, prefix.size()) == prefix) {
        reason.remove_prefix(prefix.size());
    }
    return fmt::format("refused manifest {}: {}", AuditedPath(path), reason);
}
