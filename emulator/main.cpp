#include <string>
#include <vector>

#include "emulator/commands.h"

int main(int argc, char** argv) {
    return RunEmulatorCommand(std::vector<std::string>(argv + 1, argv + argc));
}
