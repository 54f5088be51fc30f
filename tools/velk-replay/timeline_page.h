// The timeline page: the heap's figures over the call index of a replay (total alloc, total free,
// max free, fragmentation, segments, live Blocks) as charts that zoom and pan together, with the
// figures of a call shown on hover.
#pragma once

#include <string>

#include "replay.h"
#include "trace-log/trace_log.h"

namespace velk::replay {

// Writes the page; false, with the reason in `error`, when the file cannot be written.
bool writeTimelinePage(const tracelog::TraceLog& log, const ReplayResult& result,
                       const std::string& logName, const std::string& path, std::string& error);

}  // namespace velk::replay
