// Threads allocate blocks of up to 1 MiB (malloc, calloc, aligned_alloc, realloc), stamp every byte
// with the block's id and swap them into shared slots: whoever takes a block out checks and frees
// it, so most blocks are freed by a thread that did not allocate them, many after their maker has
// exited. What it prints is the same under any allocator and any scheduling. With "+bursts" the
// threads swap whole bursts of 4,096 blocks, most of one size, and free each burst they get at
// once, as pipelines do.
//
// With stray writes, from a seed it prints, the threads also write 1 to 8 random bytes into a
// payload just freed ("freed": up to 256 KiB, what the thread caches keep), and with "all" 1 to
// 16 bytes past the size asked for after every third allocation; with "+twice" such a payload is
// often freed again. Every block the stray bytes did not reach must keep its stamp (unless freed
// twice), and the allocator must have counted what it found. Stray bytes may reach the program's
// own objects too, so those come from mmap, and the threads from pthread_create.
// With "+large" every block is of 64 to 260 KiB, beyond the small objects threads mostly make.
// Usage: threaded_handoff [threads] [blocks per thread] [none|freed|all][+bursts|+large][+twice]
//        [seed]
#include <dlfcn.h>
#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>

// Under the thread sanitizer, whose runtime owns malloc, the shim is linked in under prefixed
// names instead of preloaded.
#ifdef VELK_SHIM_PREFIXED
extern "C" {
void* velk_shim_malloc(std::size_t);
void* velk_shim_calloc(std::size_t, std::size_t);
void* velk_shim_realloc(void*, std::size_t);
void* velk_shim_aligned_alloc(std::size_t, std::size_t);
void velk_shim_free(void*);
}
#define ALLOCATOR(name) velk_shim_##name
#else
#define ALLOCATOR(name) std::name
#endif

namespace {

// A block begins with its size, its id and a check of the two, so that a header the stray bytes
// reached is seen as such; every byte after it holds the stamp of the id.
struct Header {
  std::size_t size;
  std::uint32_t id;
  std::uint32_t check;
};
// Every bit of the size counts: stray bytes that reach only its high half must not go unseen.
std::uint32_t headerCheck(std::size_t size, std::uint32_t id) {
  const std::uint64_t mixed = std::uint64_t{size} * 0x9E3779B97F4A7C15ull;
  return static_cast<std::uint32_t>(mixed >> 32) ^ static_cast<std::uint32_t>(mixed) ^ id ^
         0x5A5A5A5Au;
}

// Memory that the allocator under test never hands out, zeroed; only the pages touched cost.
template <typename T>
T* ownMemory(std::size_t count) {
  void* memory = mmap(nullptr, count * sizeof(T), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (memory == MAP_FAILED) std::abort();
  return static_cast<T*>(memory);
}
constexpr std::size_t kBurst = 4096;
struct Burst {
  std::size_t count;
  unsigned char* blocks[kBurst];
};

enum class Stray { kNone, kFreed, kAll } stray = Stray::kNone;
bool freedTwice = false;
std::uint64_t seed;

std::atomic<unsigned char*> slots[1024];
bool bursts = false;
bool large = false;
std::atomic<Burst*> burstSlot{nullptr};
std::atomic<std::uint64_t> freed{0}, damaged{0}, reached{0}, idSum{0};

// Every range stray bytes went to: a block found changed is wrong only where none reached it.
std::mutex strayLock;
using Range = std::pair<std::uintptr_t, std::uintptr_t>;
constexpr std::size_t kMostRanges = std::size_t{1} << 22;
Range* const strayRanges = ownMemory<Range>(kMostRanges);
std::size_t strayCount = 0;

void noteStray(std::uintptr_t start, std::size_t length) {
  const std::lock_guard guard(strayLock);
  if (strayCount == kMostRanges) std::abort();
  strayRanges[strayCount++] = {start, start + length};
}

// Noted before the bytes are written, so that whoever finds them sees the range.
void writeStray(unsigned char* at, std::size_t length, std::uint64_t& state) {
  noteStray(reinterpret_cast<std::uintptr_t>(at), length);
  for (std::size_t index = 0; index < length; ++index) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    at[index] = static_cast<unsigned char>(state >> 56);
  }
}

bool strayReached(std::uintptr_t start, std::size_t size) {
  const std::lock_guard guard(strayLock);
  return std::any_of(strayRanges, strayRanges + strayCount, [&](const Range& range) {
    return range.first < start + size && start < range.second;
  });
}

unsigned char stamp(std::uint32_t id) {
  return static_cast<unsigned char>(id * 2654435761u >> 24);
}

void checkAndFree(unsigned char* block, std::uint64_t& state) {
  Header header;
  std::memcpy(&header, block, sizeof header);
  const bool headerWhole = header.check == headerCheck(header.size, header.id);
  const std::size_t size = headerWhole ? header.size : sizeof header;
  bool whole = headerWhole;
  for (std::size_t index = sizeof header; whole && index < size; ++index) {
    whole = block[index] == stamp(header.id);
  }
  if (whole) {
    idSum += header.id;
  } else if (strayReached(reinterpret_cast<std::uintptr_t>(block), size)) {
    ++reached;
  } else if (++damaged <= 8) {
    // Where it changed, for whoever looks into it: 16 bytes from the first one that differs from
    // the stamp, and how many differ.
    std::size_t at = sizeof header, changed = 0;
    while (headerWhole && at < size && block[at] == stamp(header.id)) ++at;
    for (std::size_t index = at; headerWhole && index < size; ++index)
      changed += block[index] != stamp(header.id);
    char bytes[16 * 3 + 1] = "";
    for (std::size_t index = 0; index < 16 && at + index < size; ++index)
      std::snprintf(bytes + 3 * index, 4, " %02x", block[headerWhole ? at + index : index]);
    std::fprintf(stderr,
                 "damaged: block %p, size %zu, id %u, header %s; from byte %zu (%zu differ):%s\n",
                 static_cast<void*>(block), header.size, header.id,
                 headerWhole ? "whole" : "changed", headerWhole ? at : 0, changed, bytes);
  }
  ++freed;
  // Kept as a number: the compiler rightly warns of the pointer's use after free.
  const auto address = reinterpret_cast<std::uintptr_t>(block);
  ALLOCATOR(free)(block);
  // A write after free: a few bytes, often at the start where allocators keep their links.
  state = state * 6364136223846793005ull + 1442695040888963407ull;
  if (stray != Stray::kNone && state >> 62 == 0 && (stray == Stray::kAll || size <= 262144)) {
    const std::size_t reach = state >> 40 & 1 && size > 16 ? 16 : size;
    const auto offset = static_cast<std::size_t>((state >> 8) % reach);
    const auto length = static_cast<std::size_t>(1 + (state >> 20) % 8);
    writeStray(reinterpret_cast<unsigned char*>(address) + offset,
               offset + length <= size ? length : size - offset, state);
    // And with "+twice", often freed again (through a copy the compiler does not trace).
    if (freedTwice && state >> 36 & 1) {
      const volatile std::uintptr_t again = address;
      ALLOCATOR(free)(reinterpret_cast<void*>(again));
    }
  }
}

// Swaps `burst` for the one another thread left, and frees that one's blocks.
void swapBurst(Burst* burst, std::uint64_t& strayState) {
  if (Burst* theirs = burstSlot.exchange(burst)) {
    for (std::size_t index = 0; index < theirs->count; ++index) {
      checkAndFree(theirs->blocks[index], strayState);
    }
    munmap(theirs, sizeof(Burst));
  }
}

std::uint32_t blocks = 100000;  // per thread

void* work(void* index) {
  const auto thread = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(index));
  std::uint32_t state = thread * 7919u + 1 + static_cast<std::uint32_t>(seed);
  std::uint64_t strayState = seed * 0x9E3779B97F4A7C15ull + thread;
  Burst* burst = ownMemory<Burst>(1);
  for (std::uint32_t block = 0; block < blocks; ++block) {
    state = state * 1664525u + 1013904223u;
    const std::uint32_t roll = state >> 8, id = thread * blocks + block;
    const std::size_t body = large                    ? 65537 + roll % 200000
                             : bursts && roll % 8 < 5 ? 48
                             : roll % 256 == 0        ? 250000 + roll % 800000
                             : roll % 16 == 0         ? 2000 + roll % 200000
                                                      : roll % 700;
    Header header{sizeof(Header) + body, id, 0};
    // One in five aligned, to 32 bytes up to 4 KiB, as C++ makes over-aligned objects.
    const std::size_t align = roll % 5 == 1 ? std::size_t{32} << (roll >> 4) % 8 : 0;
    auto* payload =
        static_cast<unsigned char*>(roll % 5 == 0 ? ALLOCATOR(calloc)(header.size, 1)
                                    : align != 0  ? ALLOCATOR(aligned_alloc)(align, header.size)
                                                  : ALLOCATOR(malloc)(header.size));
    if (align != 0 && reinterpret_cast<std::uintptr_t>(payload) % align != 0) ++damaged;
    std::memset(payload, stamp(id), header.size);
    // Not after double frees ("+twice"): a block handed out twice may meanwhile be another
    // thread's, recycled and carved smaller, and a write to the length realloc promised runs
    // wherever that block ends, past the heap's memory too: the program's crash, not the heap's.
    if (roll % 7 == 0 && !freedTwice) {
      const std::size_t larger = header.size + roll % 5000;
      const volatile std::uintptr_t before = reinterpret_cast<std::uintptr_t>(payload);
      if (auto* grown = static_cast<unsigned char*>(ALLOCATOR(realloc)(payload, larger))) {
        // Another thread's write after a free may have reached the payload since it was stamped
        // (the memory was that thread's block before): realloc carries such bytes along, and
        // where they go is noted too. A range noted after the copy belongs to bytes written after
        // it, which stayed behind.
        if (stray != Stray::kNone && strayReached(before, header.size))
          noteStray(reinterpret_cast<std::uintptr_t>(grown), header.size);
        payload = grown;
        std::memset(payload + header.size, stamp(id), larger - header.size);
        header.size = larger;
      }
    }
    header.check = headerCheck(header.size, header.id);
    std::memcpy(payload, &header, sizeof header);
    // An overrun: a string copied one byte too far, or a length that was wrong.
    if (stray == Stray::kAll && roll % 3 == 0) {
      writeStray(payload + header.size, 1 + (roll >> 4) % 16, strayState);
    }
    if (bursts) {
      burst->blocks[burst->count++] = payload;
      if (burst->count == kBurst) {
        swapBurst(burst, strayState);
        burst = ownMemory<Burst>(1);
      }
    } else if (unsigned char* taken = slots[roll % 1024].exchange(payload)) {
      checkAndFree(taken, strayState);
    }
  }
  swapBurst(burst, strayState);
  return nullptr;
}

// The allocator's count of damage it found, where it exports one.
std::size_t damageFound() {
#ifdef VELK_SHIM_PREFIXED
  return 0;
#else
  using Counter = std::size_t (*)();
  const auto counter = reinterpret_cast<Counter>(dlsym(RTLD_DEFAULT, "velk_malloc_damage_found"));
  return counter != nullptr ? counter() : 0;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  const auto threads = static_cast<std::uint32_t>(argc > 1 ? std::atoi(argv[1]) : 4);
  if (argc > 2) blocks = static_cast<std::uint32_t>(std::atoi(argv[2]));
  const char* const mode = argc > 3 ? argv[3] : "none";
  stray = std::strncmp(mode, "all", 3) == 0     ? Stray::kAll
          : std::strncmp(mode, "freed", 5) == 0 ? Stray::kFreed
                                                : Stray::kNone;
  bursts = std::strstr(mode, "+bursts") != nullptr;
  large = std::strstr(mode, "+large") != nullptr;
  freedTwice = std::strstr(mode, "+twice") != nullptr;
  if (stray != Stray::kNone) {
    seed = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : std::random_device{}();
    std::printf("stray writes (%s), seed %llu\n", mode, static_cast<unsigned long long>(seed));
    std::fflush(stdout);
  }
  pthread_t* const workers = ownMemory<pthread_t>(threads);
  for (std::uint32_t thread = 0; thread < threads; ++thread) {
    if (pthread_create(&workers[thread], nullptr, work,
                       reinterpret_cast<void*>(std::uintptr_t{thread})) != 0) {
      std::perror("pthread_create");
      return 2;
    }
  }
  for (std::uint32_t thread = 0; thread < threads; ++thread) pthread_join(workers[thread], nullptr);
  std::uint64_t lastState = seed;
  for (auto& slot : slots) {
    if (unsigned char* left = slot.exchange(nullptr)) checkAndFree(left, lastState);
  }
  swapBurst(nullptr, lastState);
  const std::uint64_t made = std::uint64_t{threads} * blocks;
  const auto number = [](std::uint64_t value) { return static_cast<unsigned long long>(value); };
  std::printf("made %llu freed %llu damaged %llu", number(made), number(freed), number(damaged));
  if (stray == Stray::kNone) {
    std::printf(" sum of ids %llu\n", number(idSum));
    return damaged == 0 && freed == made && idSum == made * (made - 1) / 2 ? 0 : 1;
  }
  // Blocks the stray bytes reached are not held to their stamp, nor their ids summed. A block
  // freed twice whose check the stray bytes broke in between cannot be told from a live one by
  // its words, and may be handed out twice: there, only surviving is required.
  const std::size_t found = damageFound();
  std::printf(" reached by stray bytes %llu damage found %zu\n", number(reached), found);
  return (damaged == 0 || freedTwice) && freed == made && found > 0 ? 0 : 1;
}
