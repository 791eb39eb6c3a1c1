// hidden-run PROGRAM [ARGUMENT...]: runs PROGRAM with the built-in signing directories hidden,
// as the tests do, so that scripts can measure a generate run over their own files only.
#include <unistd.h>

#include <cstdio>

#include "support/hidden_system.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: hidden-run PROGRAM [ARGUMENT...]\n", stderr);
        return 2;
    }
    HiddenSystemPlan plan = PlanHiddenSystem(argv[1], {});
    if (!EnterHiddenSystem(plan)) {
        std::perror("hidden-run: cannot hide the signing directories");
        return 125;
    }
    execv(argv[1], argv + 1);
    std::perror("hidden-run: cannot run the program");
    return 127;
}
