// Runs a workload on a thread of its own while this thread keeps a progress line on stderr.
#pragma once

#include "workloads.h"

namespace velk::host {

struct TimedResult {
  WorkloadResult result;
  double seconds = 0;
};

// The progress line, updated in place with carriage returns, appears only when stderr is a
// terminal and the run has lasted more than a second.
TimedResult runWithProgress(const Workload& workload, const AllocatorExports& exports,
                            WorkloadOptions options);

}  // namespace velk::host
