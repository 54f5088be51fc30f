// The same call sequence through malloc and free under other allocators: velk-replay-malloc, a
// small replayer, runs it once per allocator with that allocator put in front by LD_PRELOAD, and
// reports its time and peak RSS. Ours is the malloc shim of the same engine, run the same way.
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "call_sequence.h"
#include "trace-log/trace_log.h"

namespace velk::replay {

// Accepts glibc, jemalloc, mimalloc, tcmalloc, tbbmalloc or the path of a shared library.
CLI::Validator againstValidator();

// Prints a table of time and peak RSS per allocator; false when the replayer could not run.
bool runAgainst(const tracelog::TraceLog& log, const CallSequence& sequence,
                const std::vector<std::string>& allocators, double engineSeconds);

}  // namespace velk::replay
