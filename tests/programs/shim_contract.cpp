// The C and POSIX contracts of the allocation functions, checked from a program that runs with
// libvelkmalloc.so preloaded: it first makes sure the shim really serves its malloc, then goes
// through each function's promises. Prints one line per failed check; exits non-zero on any.
#include <dlfcn.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

int failures = 0;

void check(bool holds, const char* what, int line) {
  if (!holds) {
    std::printf("FAILED line %d: %s\n", line, what);
    ++failures;
  }
}
#define CHECK(condition) check((condition), #condition, __LINE__)

bool alignedTo(const void* pointer, std::size_t align) {
  return reinterpret_cast<std::uintptr_t>(pointer) % align == 0;
}

bool allAre(const void* payload, std::size_t size, unsigned char value) {
  const auto* bytes = static_cast<const unsigned char*>(payload);
  return std::all_of(bytes, bytes + size, [value](unsigned char byte) { return byte == value; });
}

// Keeps the compiler from folding malloc/free pairs or assuming results about them.
void* volatile sink;
std::size_t opaque(std::size_t value) {
  sink = &value;
  return *static_cast<volatile std::size_t*>(sink);
}

void mallocCallocAndRealloc() {
  Dl_info info{};
  CHECK(dladdr(reinterpret_cast<void*>(&malloc), &info) != 0 && info.dli_fname != nullptr &&
        std::strstr(info.dli_fname, "velkmalloc") != nullptr);
  for (std::size_t size = 0; size <= 5000; size += size < 64 ? 1 : 37) {
    void* payload = malloc(opaque(size));
    CHECK(payload != nullptr && alignedTo(payload, 16) && malloc_usable_size(payload) >= size);
    std::memset(payload, 0xA5, size);
    free(payload);
  }
  // Round sizes, which programs ask for most, waste no class step: a payload of 1 to 256 KiB
  // holds its request with less than one alignment step to spare.
  for (std::size_t size = 1024; size <= 262144; size *= 2) {
    void* payload = malloc(opaque(size));
    CHECK(payload != nullptr && malloc_usable_size(payload) < size + 16);
    free(payload);
  }
  // Requests of no bytes, many alive at once, each freed: distinct payloads, as of one byte.
  std::vector<void*> empty(1000);
  for (void*& payload : empty) CHECK((payload = malloc(opaque(0))) != nullptr);
  for (std::size_t index = 0; index < empty.size(); index += 2) free(empty[index]);
  for (std::size_t index = 0; index < empty.size(); index += 2) empty[index] = malloc(opaque(1));
  std::sort(empty.begin(), empty.end());
  CHECK(std::adjacent_find(empty.begin(), empty.end()) == empty.end());
  for (void* payload : empty) free(payload);
  free(nullptr);
  CHECK(malloc_usable_size(nullptr) == 0);
  // calloc zeroes memory that held other bytes before.
  for (std::size_t size : {24u, 1000u, 100000u, 5000000u}) {
    free(std::memset(malloc(size), 0xFF, size));
    void* clean = calloc(size / 4, 4);
    CHECK(clean != nullptr && allAre(clean, size, 0));
    free(clean);
  }
  // realloc keeps the contents as the Block grows, moving or not; above the sizes carved in
  // groups it mostly grows where it stands, as the buffer of a reader or a builder of strings.
  auto* growing = static_cast<unsigned char*>(realloc(nullptr, 10));
  std::memset(growing, 3, 10);
  int movedAbove8K = 0;
  for (std::size_t size = 10, next = 15; next < 3000000; size = next, next = next * 3 / 2) {
    std::memset(growing + 10, static_cast<int>(size), size - 10);
    auto* grown = static_cast<unsigned char*>(realloc(growing, next));
    movedAbove8K += size > 8192 && grown != growing;
    growing = grown;
    CHECK(growing != nullptr && alignedTo(growing, 16) && allAre(growing, 10, 3) &&
          allAre(growing + 10, size - 10, static_cast<unsigned char>(size)));
  }
  CHECK(movedAbove8K <= 2);
  free(growing);
  CHECK(realloc(malloc(100), 0) == nullptr);  // freed, as the C library does
  // A pointer from the C library's own heap goes back there, not into the shim's.
  auto* libcMalloc = reinterpret_cast<void* (*)(std::size_t)>(
      dlsym(dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD), "malloc"));
  CHECK(libcMalloc != nullptr && libcMalloc != &malloc);
  for (int round = 0; libcMalloc != nullptr && libcMalloc != &malloc && round < 100; ++round) {
    void* foreign = libcMalloc(200);
    CHECK(malloc_usable_size(foreign) >= 200);
    CHECK((foreign = realloc(foreign, 400)) != nullptr);
    free(foreign);
  }
}

void alignedFunctions() {
  void* out = nullptr;
  for (std::size_t align : {std::size_t{3}, sizeof(void*) / 2, std::size_t{0}}) {
    CHECK(posix_memalign(&out, align, 10) == EINVAL);
  }
  for (std::size_t align = sizeof(void*); align <= (std::size_t{1} << 23); align <<= 1) {
    CHECK(posix_memalign(&out, align, 1000) == 0 && alignedTo(out, align) &&
          malloc_usable_size(out) >= 1000);
    std::memset(out, 1, 1000);
    out = realloc(out, 5000);
    CHECK(out != nullptr && allAre(out, 1000, 1));
    free(out);
  }
  // Empty aligned requests must not leave the Blocks after them off the alignment.
  std::vector<void*> mixed;
  bool allAligned = true;
  for (int round = 0; round < 200; ++round) {
    void* empty = nullptr;
    allAligned &= posix_memalign(&empty, std::size_t{32} << (round % 6), 0) == 0;
    mixed.push_back(empty);
    mixed.push_back(malloc(opaque(2000 + static_cast<std::size_t>(round))));
    allAligned &= alignedTo(mixed.back(), 16);
  }
  CHECK(allAligned);
  for (void* payload : mixed) free(payload);
  errno = 0;
  CHECK(aligned_alloc(24, 48) == nullptr && errno == EINVAL);
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const struct {
    void* payload;
    std::size_t align;
  } aligned[] = {{memalign(24, 48), 32},  // memalign rounds the alignment up
                 {aligned_alloc(std::size_t{1} << 21, 100), std::size_t{1} << 21},
                 {valloc(10), page},
                 {pvalloc(1), page}};
  CHECK(malloc_usable_size(aligned[3].payload) >= page);  // pvalloc rounds the size up to pages
  for (const auto& [payload, align] : aligned) {
    CHECK(payload != nullptr && alignedTo(payload, align));
    free(payload);
  }
}

// Aligned requests of every alignment from 32 bytes to 4 KiB, objects below 1 KiB and buffers up
// to 20 KB, and plain ones of the same sizes, made in turns so that they share lists, freed in a
// scattered order, half by another thread, over rounds: each is aligned, holds its size, overlaps
// no other, and keeps its bytes to the end.
void alignedAmongPlain() {
  struct Made {
    unsigned char* payload;
    std::size_t size;
  };
  std::vector<Made> live;
  std::uint64_t state = 0x9E3779B97F4A7C15u;
  const auto next = [&state] {
    return static_cast<std::size_t>((state = state * 6364136223846793005u + 1442695040888963407u) >>
                                    33);
  };
  bool aligned = true;
  for (int round = 0; round < 6; ++round) {
    for (int index = 0; index < 3000; ++index) {
      const std::size_t align = std::size_t{32} << next() % 8;
      const std::size_t size = align <= 1024 ? next() % (1040 - align) : next() % 20000;
      void* payload = nullptr;
      if (index % 3 == 0) {
        payload = malloc(opaque(size));
      } else if (posix_memalign(&payload, align, opaque(size)) == 0) {
        aligned &= alignedTo(payload, align);
      }
      CHECK(payload != nullptr && malloc_usable_size(payload) >= size);
      std::memset(payload, static_cast<int>(live.size()), size);
      live.push_back({static_cast<unsigned char*>(payload), size});
    }
    std::vector<Made> sorted = live;
    std::sort(sorted.begin(), sorted.end(),
              [](const Made& a, const Made& b) { return a.payload < b.payload; });
    for (std::size_t index = 1; index < sorted.size(); ++index) {
      CHECK(sorted[index - 1].payload + sorted[index - 1].size <= sorted[index].payload);
    }
    bool kept = true;
    for (std::size_t index = 0; index < live.size(); ++index) {
      kept &= allAre(live[index].payload, live[index].size, static_cast<unsigned char>(index));
    }
    CHECK(kept);
    for (std::size_t index = 0; index < live.size(); ++index)
      std::swap(live[index], live[next() % live.size()]);
    std::vector<Made> theirs(live.begin() + static_cast<std::ptrdiff_t>(live.size() / 2),
                             live.end());
    live.resize(live.size() / 2);
    std::thread other([&theirs] {
      for (const Made& made : theirs) free(made.payload);
    });
    for (std::size_t index = live.size() / 3; index < live.size(); ++index)
      free(live[index].payload);
    live.resize(live.size() / 3);
    other.join();
    for (std::size_t index = 0; index < live.size(); ++index)
      std::memset(live[index].payload, static_cast<int>(index), live[index].size);
  }
  CHECK(aligned);
  for (const Made& made : live) free(made.payload);
}

// No object may be larger than PTRDIFF_MAX bytes, alignment padding counted: differences of
// pointers inside it would overflow. Every entry point refuses with ENOMEM (posix_memalign
// returns it, leaving errno and its pointer alone), and a block passed to realloc stays as it was.
void sizesBeyondPointerDifferencesAreRefused() {
  static const std::size_t beyond = opaque(std::size_t{PTRDIFF_MAX} + 1);
  static const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  static auto* const kept = std::memset(malloc(100), 0x5A, 100);
  // clang-format off
#define REFUSAL(call) {#call, []() -> void* { return call; }}
  // clang-format on
  const std::pair<const char*, void* (*)()> refusals[] = {
      REFUSAL(malloc(beyond)),
      REFUSAL(malloc(opaque(SIZE_MAX))),
      REFUSAL(calloc(2, beyond / 2)),
      REFUSAL(calloc(opaque(SIZE_MAX / 2), 3)),
      REFUSAL(realloc(kept, beyond)),
      REFUSAL(realloc(nullptr, beyond)),
      REFUSAL(reallocarray(kept, 2, beyond / 2)),
      REFUSAL(reallocarray(kept, opaque(SIZE_MAX / 4), 8)),
      REFUSAL(memalign(64, beyond)),
      REFUSAL(memalign(page, beyond - page + 1)),
      REFUSAL(aligned_alloc(64, beyond)),
      REFUSAL(aligned_alloc(beyond, 64)),
      REFUSAL(aligned_alloc(std::size_t{1} << 21, beyond - (std::size_t{1} << 21) + 1)),
      REFUSAL(valloc(beyond)),
      REFUSAL(valloc(beyond - page + 1)),
      REFUSAL(pvalloc(beyond)),
      REFUSAL(pvalloc(beyond - page + 1)),
  };
#undef REFUSAL
  for (const auto& [call, attempt] : refusals) {
    errno = 0;
    void* served = attempt();
    if (served != nullptr || errno != ENOMEM) std::printf("not refused: %s\n", call);
    CHECK(served == nullptr && errno == ENOMEM);
  }
  void* out = kept;
  errno = 0;
  CHECK(posix_memalign(&out, 64, beyond) == ENOMEM && out == kept && errno == 0);
  CHECK(allAre(kept, 100, 0x5A));
  free(kept);
}

// fork() while other threads use stdio: readers grow getline's buffer with realloc under their
// FILE's lock, a flusher holds the list of FILEs while it takes each FILE's lock, and the forking
// threads must still get through. Each child frees a block of the parent's and allocates. A hang
// ends the run by SIGALRM.
void forkWhileStdioIsBusy() {
  constexpr std::size_t kLineLength = 50000;
  char path[] = "/tmp/velk-fork-stdio-XXXXXX";
  const int descriptor = mkstemp(path);
  const std::string line = std::string(kLineLength, 'x') + "\n";
  CHECK(descriptor >= 0 &&
        write(descriptor, line.data(), line.size()) == static_cast<ssize_t>(line.size()));
  close(descriptor);
  alarm(20);
  std::atomic<bool> stop{false};
  std::atomic<int> badReads{0}, badChildren{0}, forks{0};
  std::vector<std::thread> threads;
  for (int reader = 0; reader < 8; ++reader) {
    threads.emplace_back([&] {
      FILE* file = std::fopen(path, "r");
      while (file != nullptr && !stop.load(std::memory_order_relaxed)) {
        std::rewind(file);
        char* buffer = nullptr;  // grown from nothing by realloc, under the FILE's lock
        std::size_t capacity = 0;
        badReads += getline(&buffer, &capacity, file) != static_cast<ssize_t>(kLineLength + 1);
        free(buffer);
      }
      badReads += file == nullptr || std::fclose(file) != 0;
    });
  }
  threads.emplace_back([&] {
    while (!stop.load(std::memory_order_relaxed)) {
      std::fflush(nullptr);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  // Half the forkers make large requests, which no thread's list serves: the child frees the
  // parent's and makes its own in the heap as the fork left it.
  for (std::size_t forker = 0; forker < 4; ++forker) {
    threads.emplace_back([&, forker] {
      const std::size_t size = forker % 2 == 0 ? 40 + 300 * forker : 300000 * forker;
      while (!stop.load(std::memory_order_relaxed)) {
        auto* inherited = static_cast<unsigned char*>(malloc(opaque(size)));
        inherited[0] = 1;
        const pid_t child = fork();
        if (child == 0) {
          alarm(10);
          free(inherited);
          _exit(malloc(opaque(size + 1000)) != nullptr ? 0 : 1);
        }
        int status = 0;
        badChildren += child < 0 || waitpid(child, &status, 0) != child || status != 0;
        ++forks;
        free(inherited);
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  stop = true;
  for (std::thread& thread : threads) thread.join();
  alarm(0);
  unlink(path);
  CHECK(badReads == 0 && badChildren == 0 && forks > 0);
}

// Large Blocks, made by threads side by side (enough of them for each thread to be given a heap of
// its own), are freed, sized and resized from any other thread.
void largeBlocksCrossThreads() {
  constexpr std::size_t kThreads = 4, kEach = 24;
  const std::size_t sizes[6] = {300000, 1 << 20, 65537, 262145, 100001, 2 << 20};
  struct Made {
    unsigned char* payload;
    std::size_t size;
    unsigned char fill;
  };
  std::vector<Made> made(kThreads * kEach);
  std::vector<std::thread> threads;
  for (std::size_t thread = 0; thread < kThreads; ++thread) {
    threads.emplace_back([&, thread] {
      for (std::size_t index = 0; index < kEach; ++index) {
        const std::size_t size = sizes[(index + thread) % 6];
        // Plain, zeroed, and aligned beyond the heap's own limit (cut out of a larger Block).
        void* payload = index % 3 == 0   ? malloc(opaque(size))
                        : index % 3 == 1 ? calloc(opaque(size), 1)
                                         : aligned_alloc(opaque(4 << 20), size);
        CHECK(payload != nullptr && (index % 3 != 1 || allAre(payload, size, 0)));
        const auto fill = static_cast<unsigned char>(0x80 + thread * kEach + index);
        std::memset(payload, fill, size);
        made[thread * kEach + index] = {static_cast<unsigned char*>(payload), size, fill};
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  // Each is resized or freed by a thread that did not make it.
  threads.clear();
  for (std::size_t thread = 0; thread < kThreads; ++thread) {
    threads.emplace_back([&, thread] {
      for (std::size_t index = 0; index < kEach; ++index) {
        Made block = made[((thread + 1) % kThreads) * kEach + index];
        CHECK(malloc_usable_size(block.payload) >= block.size);
        CHECK(allAre(block.payload, block.size, block.fill));
        if (index % 2 == 0) {
          auto* moved = static_cast<unsigned char*>(realloc(block.payload, block.size * 2));
          CHECK(moved != nullptr && allAre(moved, block.size, block.fill));
          block.payload = static_cast<unsigned char*>(realloc(moved, 100));
          CHECK(block.payload != nullptr && allAre(block.payload, 100, block.fill));
        }
        free(block.payload);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}

// Objects of up to 256 bytes are carved side by side with no header between them: 24-byte
// requests lie 32 bytes apart. What no caller was handed (the memory they are carved from, an
// address inside one, one freed twice) is left alone, and every object keeps its bytes.
void smallObjectsLieSideBySide() {
  constexpr std::size_t kSize = 24, kCount = 3000;
  std::vector<unsigned char*> objects(kCount);
  const auto fill = [&](std::size_t index) {
    objects[index] = static_cast<unsigned char*>(malloc(opaque(kSize)));
    std::memset(objects[index], static_cast<int>(index * 7), kSize);
  };
  for (std::size_t index = 0; index < kCount; ++index) fill(index);
  std::vector<unsigned char*> sorted = objects;
  std::sort(sorted.begin(), sorted.end());
  std::size_t sideBySide = 0;
  for (std::size_t index = 1; index < kCount; ++index)
    sideBySide += sorted[index] - sorted[index - 1] == 32;
  CHECK(sideBySide > kCount * 9 / 10 && malloc_usable_size(objects[7]) == 32);
  unsigned char* inner = objects[kCount / 2];
  void* carvedFrom =
      reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(inner) & ~std::uintptr_t{0xFFFF});
  for (void* stray : {carvedFrom, static_cast<void*>(inner + 16), static_cast<void*>(inner + 8)})
    free(stray);
  CHECK(malloc_usable_size(carvedFrom) == 0 && realloc(carvedFrom, 10) == nullptr);
  free(objects[5]);
  free(objects[5]);
  fill(5);
  void* other = malloc(opaque(kSize));
  CHECK(other != objects[5]);
  free(other);
  std::vector<void*> more(kCount);
  for (void*& object : more) object = std::memset(malloc(opaque(kSize)), 0xEE, kSize);
  for (std::size_t size = 32768; size <= 65536; size += 4096)
    more.push_back(std::memset(malloc(opaque(size)), 0xEE, size));
  bool kept = true;
  for (std::size_t index = 0; index < kCount; ++index)
    kept &= allAre(objects[index], kSize, static_cast<unsigned char>(index * 7));
  CHECK(kept);
  for (unsigned char* object : objects) free(object);
  for (void* object : more) free(object);
}

// An overrun of one payload that writes, where the next Block's header lies, a size reaching
// exactly to a real payload further on (over the Block after it): every size the shim acts on is
// held against the heap's record, so the Block keeps its true size, the damage is counted, and
// freeing it leaves the Blocks behind it alone.
void overrunThatForgesALargerBlock() {
  using Counter = std::size_t (*)();
  const auto damageFound =
      reinterpret_cast<Counter>(dlsym(RTLD_DEFAULT, "velk_malloc_damage_found"));
  CHECK(damageFound != nullptr);
  if (damageFound == nullptr) return;
  // Blocks of one size come carved side by side: find four in a row. (Objects of 256 bytes and
  // less carry no header.)
  constexpr std::size_t kUnit = sizeof(void*), kHeader = 2 * kUnit, kFootprint = 320;
  const std::size_t size = kFootprint - kHeader;
  std::vector<unsigned char*> blocks;
  for (int index = 0; index < 256; ++index) {
    blocks.push_back(static_cast<unsigned char*>(malloc(opaque(size))));
    std::memset(blocks.back(), 0x3C, size);
  }
  std::vector<unsigned char*> sorted = blocks;
  std::sort(sorted.begin(), sorted.end());
  std::size_t at = 0;
  while (at + 3 < sorted.size() && sorted[at + 3] - sorted[at] != 3 * kFootprint) ++at;
  CHECK(at + 3 < sorted.size());
  if (at + 3 < sorted.size()) {
    unsigned char* victim = sorted[at + 1];
    const std::size_t before = damageFound();
    // The size word of the header: the units of two Blocks' payloads, allocated.
    const std::uintptr_t forged =
        (2 * kFootprint - kHeader) / kUnit | std::uintptr_t{1} << (8 * sizeof(void*) - 1);
    std::memcpy(victim - kHeader, &forged, sizeof forged);
    CHECK(malloc_usable_size(victim) == size);
    CHECK(damageFound() > before);
    free(victim);
    CHECK(allAre(sorted[at + 2], size, 0x3C) && allAre(sorted[at], size, 0x3C));
    auto* again = static_cast<unsigned char*>(malloc(opaque(2 * size)));
    CHECK(again != nullptr && (again + 2 * size <= sorted[at + 2] || again >= sorted[at + 3]));
    free(again);
    std::erase(blocks, victim);
  }
  for (unsigned char* block : blocks) free(block);
}

constexpr std::size_t kPage = 4096;

// The pages resident in the `bytes` at each of `holes` (free Blocks, or payloads), but for the
// first two and the last, which a free Block keeps.
std::size_t residentPagesIn(const std::vector<unsigned char*>& holes, std::size_t bytes) {
  std::size_t resident = 0;
  std::vector<unsigned char> pages(bytes / kPage);
  for (unsigned char* hole : holes) {
    const std::uintptr_t first =
        (reinterpret_cast<std::uintptr_t>(hole) + 2 * kPage) & ~(kPage - 1);
    CHECK(mincore(reinterpret_cast<void*>(first), bytes - 3 * kPage, pages.data()) == 0);
    for (std::size_t page = 0; page + 3 < pages.size(); ++page) resident += pages[page] & 1u;
  }
  return resident;
}

// Pages of large Blocks freed and then left alone go back to the system within a few passes
// (a pass is due every quarter second, once enough is carved or freed), and at once under
// malloc_trim, while the Blocks around them keep every byte.
void idlePagesGoBackToTheSystem() {
  constexpr std::size_t kHole = 1 << 20, kHoles = 24;
  std::vector<unsigned char*> holes, kept;
  for (std::size_t index = 0; index < kHoles; ++index) {
    holes.push_back(static_cast<unsigned char*>(std::memset(malloc(kHole), 0x5A, kHole)));
    kept.push_back(static_cast<unsigned char*>(malloc(300000)));
    std::memset(kept.back(), static_cast<int>(index) | 0x80, 300000);
  }
  // Freeing and carving elsewhere, at a pace that lets passes fall due; the holes lie idle. (The
  // Block freed is carved again where it lay: one made after the holes were freed might be carved
  // over them, and be allocated whenever a pass falls due.)
  void* elsewhere = malloc(opaque(24 << 20));
  for (unsigned char* hole : holes) free(hole);
  for (int round = 0; round < 3; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    free(elsewhere);
    elsewhere = malloc(opaque(24 << 20));
    CHECK(elsewhere != nullptr);
  }
  free(elsewhere);
  const auto keptWhole = [&kept] {
    bool whole = true;
    for (std::size_t index = 0; index < kept.size(); ++index) {
      whole &= allAre(kept[index], 300000, static_cast<unsigned char>(index | 0x80));
    }
    return whole;
  };
  CHECK(residentPagesIn(holes, kHole) == 0);
  CHECK(keptWhole());
  void* clean = calloc(kHole, 1);
  CHECK(clean != nullptr && allAre(clean, kHole, 0));
  free(clean);
  // malloc_trim gives back holes freed a moment ago, at once.
  for (unsigned char*& hole : holes)
    hole = static_cast<unsigned char*>(std::memset(malloc(kHole), 0x5A, kHole));
  for (unsigned char* hole : holes) free(hole);
  CHECK(malloc_trim(0) == 1);
  CHECK(residentPagesIn(holes, kHole) == 0);
  CHECK(keptWhole());
  for (unsigned char* block : kept) free(block);
}

// A large calloc makes resident only the pages it must write: pages that hold old bytes are zeroed,
// pages the system never backed stay unbacked, as under the C library's calloc. A payload freed
// with every other page written, then calloc'd again, is zero throughout.
void largeCallocLeavesUnbackedPagesAlone() {
  constexpr std::size_t kStriped = 256 * kPage, kTable = 64 << 20;
  auto* striped = static_cast<unsigned char*>(malloc(kStriped));
  for (std::size_t page = 0; page < kStriped; page += 2 * kPage) {
    std::memset(striped + page, 0xC3, kPage);
  }
  free(striped);
  void* clean = calloc(kStriped / 8, 8);
  CHECK(clean != nullptr && allAre(clean, kStriped, 0));
  auto* table = static_cast<unsigned char*>(calloc(1, kTable));
  CHECK(table != nullptr && residentPagesIn({table}, kTable) < kTable / kPage / 4);
  CHECK(allAre(table, kTable, 0));
  free(table);
  free(clean);
}

// The permissions /proc/self/maps shows for the mapping that holds `address` ("rw-p" and the
// like), or an empty string when no mapping does.
std::string permissionsAt(const void* address) {
  std::FILE* maps = std::fopen("/proc/self/maps", "r");
  if (maps == nullptr) return "";
  const auto wanted = reinterpret_cast<std::uintptr_t>(address);
  unsigned long long low = 0, high = 0;
  char permissions[5] = {};
  std::string found;
  char line[512];
  while (std::fgets(line, sizeof line, maps) != nullptr) {
    if (std::sscanf(line, "%llx-%llx %4s", &low, &high, permissions) == 3 && wanted >= low &&
        wanted < high) {
      found = permissions;
    }
  }
  std::fclose(maps);
  return found;
}

// What a program keeps in the heap is data: none of it may be executable, at any size.
void heapMemoryIsNotExecutable() {
  for (std::size_t size : {16u, 3000u, 200000u, 5000000u, 100000000u}) {
    void* payload = malloc(opaque(size));
    CHECK(payload != nullptr);
    const std::string permissions = permissionsAt(payload);
    CHECK(permissions.size() == 4 && permissions.compare(0, 2, "rw") == 0 && permissions[2] == '-');
    free(payload);
  }
}

}  // namespace

int main() {
  mallocCallocAndRealloc();
  alignedFunctions();
  alignedAmongPlain();
  sizesBeyondPointerDifferencesAreRefused();
  forkWhileStdioIsBusy();
  largeBlocksCrossThreads();
  smallObjectsLieSideBySide();
  overrunThatForgesALargerBlock();
  idlePagesGoBackToTheSystem();
  largeCallocLeavesUnbackedPagesAlone();
  heapMemoryIsNotExecutable();
  std::printf("%s: %d failed checks\n", failures == 0 ? "ok" : "FAILED", failures);
  return failures == 0 ? 0 : 1;
}
