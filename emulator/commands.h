// The commands of veriexec-emulator, the program that boots, inspects and steers the
// emulated facility for people and tests. Each returns the process's exit status.
#pragma once

#include <string>
#include <vector>

// Runs one command line (without the program name).
int RunEmulatorCommand(const std::vector<std::string>& arguments);
