#include "generate/run.h"

#include "generate/config.h"
#include "generate/shared_state.h"
#include "veriexec/modules.h"

int RunGenerate(const GenerateSettings& settings) {
    CheckRequiredModules();
    ReadConfiguration(settings);
    return ReportedErrorCount > 0 ? 1 : 0;
}
