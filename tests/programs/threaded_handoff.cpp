// Threads allocate blocks (malloc, calloc, realloc), fill every byte with a stamp of the block's
// id and swap them into slots all threads share: whoever takes a block out checks and frees it, so
// most blocks are freed by a thread that did not allocate them, many after their maker has exited.
// What it prints (counts and a sum of the ids freed) is the same under any allocator and any
// scheduling.
// Usage: threaded_handoff [threads] [blocks per thread]
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

// Under the thread sanitizer, whose runtime owns malloc, the shim is linked in under prefixed
// names instead of preloaded.
#ifdef VELK_SHIM_PREFIXED
extern "C" {
void* velk_shim_malloc(std::size_t);
void* velk_shim_calloc(std::size_t, std::size_t);
void* velk_shim_realloc(void*, std::size_t);
void velk_shim_free(void*);
}
#define ALLOCATOR(name) velk_shim_##name
#else
#define ALLOCATOR(name) std::name
#endif

namespace {

// A block begins with its size and id; every byte after them holds the stamp of the id.
struct Header {
  std::size_t size;
  std::uint32_t id;
};

std::atomic<unsigned char*> slots[1024];
std::atomic<std::uint64_t> freed{0}, damaged{0}, idSum{0};

unsigned char stamp(std::uint32_t id) {
  return static_cast<unsigned char>(id * 2654435761u >> 24);
}

void checkAndFree(unsigned char* block) {
  Header header;
  std::memcpy(&header, block, sizeof header);
  for (std::size_t index = sizeof header; index < header.size; ++index) {
    if (block[index] != stamp(header.id)) {
      ++damaged;
      break;
    }
  }
  idSum += header.id;
  ++freed;
  ALLOCATOR(free)(block);
}

void work(std::uint32_t thread, std::uint32_t blocks) {
  std::uint32_t state = thread * 7919u + 1;
  for (std::uint32_t block = 0; block < blocks; ++block) {
    state = state * 1664525u + 1013904223u;
    const std::uint32_t roll = state >> 8, id = thread * blocks + block;
    Header header{sizeof(Header) + (roll % 16 == 0 ? 2000 + roll % 200000 : roll % 700), id};
    auto* payload = static_cast<unsigned char*>(roll % 5 == 0 ? ALLOCATOR(calloc)(header.size, 1)
                                                              : ALLOCATOR(malloc)(header.size));
    std::memset(payload, stamp(id), header.size);
    if (roll % 7 == 0) {
      const std::size_t larger = header.size + roll % 5000;
      payload = static_cast<unsigned char*>(ALLOCATOR(realloc)(payload, larger));
      std::memset(payload + header.size, stamp(id), larger - header.size);
      header.size = larger;
    }
    std::memcpy(payload, &header, sizeof header);
    if (unsigned char* taken = slots[roll % 1024].exchange(payload)) checkAndFree(taken);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const auto threads = static_cast<std::uint32_t>(argc > 1 ? std::atoi(argv[1]) : 4);
  const auto blocks = static_cast<std::uint32_t>(argc > 2 ? std::atoi(argv[2]) : 100000);
  std::vector<std::thread> workers;
  for (std::uint32_t thread = 0; thread < threads; ++thread)
    workers.emplace_back(work, thread, blocks);
  for (std::thread& worker : workers) worker.join();
  for (auto& slot : slots) {
    if (unsigned char* left = slot.exchange(nullptr)) checkAndFree(left);
  }
  const std::uint64_t made = std::uint64_t{threads} * blocks;
  std::printf("made %llu freed %llu damaged %llu sum of ids %llu\n",
              static_cast<unsigned long long>(made), static_cast<unsigned long long>(freed.load()),
              static_cast<unsigned long long>(damaged.load()),
              static_cast<unsigned long long>(idSum.load()));
  return damaged == 0 && freed == made && idSum == made * (made - 1) / 2 ? 0 : 1;
}
