// A trace is replayed on an engine of its own width (a 32-bit trace on the 32-bit engine), which
// only the build of that width has: velk-replay hands the command line over to it when it can
// find it. It looks beside itself first (velk-replay32 or velk-replay64; the linux64 package
// carries a static velk-replay32 next to velk-replay, which then finds velk-replay beside it),
// and then, when it runs from a build tree, in the build tree of that width.
#pragma once

#include <optional>
#include <string>

namespace velk::replay {

void rememberCommandLine(int argc, char** argv);
// Runs the build of `bits` in this process's place and does not return; returns nothing when
// there is none (or when this process was itself handed over to).
std::optional<int> handOverToWidth(unsigned bits);
// Where a build of `bits` was looked for and why none took over, for messages: "no velk-replay32
// beside this program in /opt/velk/bin", and the build tree's place when it runs from one.
std::string otherWidthMissing(unsigned bits);

}  // namespace velk::replay
