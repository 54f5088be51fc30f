// Workloads that velk-host drives through the exported entry points, chosen by name.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "allocator_library.h"

namespace velk::host {

struct WorkloadOptions {
  std::uint64_t seed = 1;
  std::uint64_t ops = 20000;
};

struct WorkloadResult {
  std::uint64_t allocations = 0;
  std::uint64_t frees = 0;
  // Calls whose answer broke the contract: a null from MemAlloc, a MemSize below the size asked
  // for, a misaligned payload, or a payload whose contents changed while it was held.
  std::uint64_t faults = 0;
};

struct Workload {
  const char* name;
  const char* description;
  WorkloadResult (*run)(const AllocatorExports& exports, const WorkloadOptions& options);
};

std::span<const Workload> workloads();
// Null when no workload has this name.
const Workload* findWorkload(std::string_view name);

}  // namespace velk::host
