// The jobs of a run and its signing types: the built-in directories, the -d and -f values and
// the configuration's dirs, in path order with equal paths once, each found inside the image
// root, a link to a directory that another job walks anyway folded into that job; the built-in
// types and the configuration's. Generate lists them; check walks them as generate would.
#pragma once

#include <memory>
#include <vector>

#include "engine/run_context.h"
#include "engine/walk.h"
#include "generate/config.h"
#include "generate/options.h"

// Fills `run.signingTypes` from the settings and the configuration read for them, and returns
// the jobs in queue order.
std::vector<std::unique_ptr<Job>> AssembleJobs(const GenerateSettings& settings,
                                               const Configuration& configured, RunContext& run);

// The name that the walk of `jobs` gives the lexically normal `path`: below a job folded into
// another, the other's name for it; otherwise `path` itself.
std::string WalkedName(const std::string& path, const std::vector<std::unique_ptr<Job>>& jobs);
