// The audit trail of the facility: one line for each load, each state change made and each
// manifest refused, naming the user who ran the command. The program's entry writes them to
// syslog(3); tests take them as they come.
#pragma once

#include <string>

enum class AuditKind { Change, Refusal };

class AuditLog {
  public:
    virtual ~AuditLog() = default;
    // Writes "user NAME (UID): EVENT", NAME and UID of the real user id: the one who ran the
    // command, even through a set-user-id program.
    void Record(AuditKind kind, const std::string& event);

  protected:
    virtual void Write(AuditKind kind, const std::string& line) = 0;
};

// Facility LOG_AUTH and ident "pelmor-sign", as administrators look for authorization events;
// a change at LOG_NOTICE, a refusal at LOG_WARNING. Nothing reaches the standard streams, even
// when no log daemon listens.
class SyslogAuditLog : public AuditLog {
  public:
    SyslogAuditLog();
    ~SyslogAuditLog() override;
    SyslogAuditLog(const SyslogAuditLog&) = delete;
    SyslogAuditLog& operator=(const SyslogAuditLog&) = delete;

  protected:
    void Write(AuditKind kind, const std::string& line) override;
};

// A manifest's path as the log names it: absolute (the log does not say where the command ran)
// and lexically normal, shown as PrintablePath shows it.
std::string AuditedPath(const std::string& path);

// The refusal event of the manifest at `path`, from the error lines that refused it: the first,
// without its "Error: ", which says why.
std::string RefusalEvent(const std::string& path, const std::string& error);
