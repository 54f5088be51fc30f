// The statistics report: a fixed block of text lines, as the log carries it at unload.
#pragma once

#include <cstdio>

#include "heap/heap.h"

namespace velk {

void printHeapReport(std::FILE* out, const HeapStats& stats);

}  // namespace velk
