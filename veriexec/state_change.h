// Moves the facility to active, enforce or locked with one device request, refusing what
// the current state rules out.
#pragma once

#include "veriexec/device.h"

// `request` is Activate, Enforce or Lock; `name` is the command word. Returns the exit status.
int SetVeriexecState(VeriexecRequest request, const char* name);
