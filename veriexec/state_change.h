// Moves the facility to active, enforce or locked with one device request, refusing what
// the current state rules out; each change made is written to the audit log.
#pragma once

#include "veriexec/audit_log.h"
#include "veriexec/device.h"

// `request` is Activate, Enforce or Lock; `name` is the command word. Returns the exit status.
int SetVeriexecState(VeriexecRequest request, const char* name, AuditLog& audit);
