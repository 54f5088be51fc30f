// Workloads that velk-host drives through the exported entry points, chosen by name. Every
// workload writes a pattern into each payload and checks it before freeing; its threads share
// the one heap through the exports, whose lock serialises them.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "allocator_library.h"

namespace velk::host {

struct WorkloadOptions {
  std::uint64_t seed = 1;
  // MemAlloc and MemFree calls over all threads together.
  std::uint64_t ops = 20000;
  unsigned threads = 1;
  // Raised now and then by the workload's threads while they run, for a progress line.
  std::atomic<std::uint64_t>* opsDone = nullptr;
  // Called once, on one thread, when the heap holds the most the run keeps live: every thread has
  // finished its operations and none has started freeing what it still holds.
  std::function<void()> atPeak;
};

struct WorkloadResult {
  std::uint64_t allocations = 0;
  std::uint64_t frees = 0;
  // Calls whose answer broke the contract: a null from MemAlloc, a MemSize below the size asked
  // for, a misaligned payload, or a payload whose pattern changed while it was held.
  std::uint64_t faults = 0;

  WorkloadResult& operator+=(const WorkloadResult& other) {
    allocations += other.allocations;
    frees += other.frees;
    faults += other.faults;
    return *this;
  }
};

struct Workload {
  const char* name;
  const char* description;
  WorkloadResult (*run)(const AllocatorExports& exports, const WorkloadOptions& options);
};

std::span<const Workload> workloads();
// Null when no workload has this name.
const Workload* findWorkload(std::string_view name);

// The share of `options.ops` that thread `index` of `count` performs.
std::uint64_t opsOfThread(const WorkloadOptions& options, unsigned index, unsigned count);
// Reports `count` more operations to the progress counter, if there is one.
void noteOps(const WorkloadOptions& options, std::uint64_t count);

// The producer-consumer workload (producer_consumer.cpp).
WorkloadResult runProducerConsumer(const AllocatorExports& exports, const WorkloadOptions& options);

}  // namespace velk::host
