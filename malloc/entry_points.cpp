// The C library's allocation functions, served by the engine. Small requests go through the
// calling thread's cache; everything else takes the heap lock. Pointers the heap did not make go
// to the C library's own functions.
//
// Alignments above the engine's limit (1 MiB) are served by over-allocating: the returned address
// lies inside a larger Block, and the two units in front of it hold kEndMarker (which no Block
// header can hold) and the address of the Block's own payload, so free() and friends find their
// way back.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "arenas.h"
#include "pal/pal.h"
#include "process_heap.h"
#include "runs.h"
#include "thread_cache.h"
#include "zero_fill.h"

#define VELK_EXPORT extern "C" __attribute__((visibility("default")))
// The entry points carry the C library's names. A sanitizer build, whose runtime owns those
// names, links the same code into the shim's stress test as velk_shim_malloc and so on instead,
// so that the thread sanitizer watches the caches, the depot and the heap lock.
#ifdef VELK_SHIM_PREFIXED
#define VELK_ENTRY(name) velk_shim_##name
#else
#define VELK_ENTRY(name) name
#endif

namespace velk::shim {
namespace {

constexpr bool isPowerOfTwo(std::size_t value) {
  return value != 0 && (value & (value - 1)) == 0;
}

// No object may be larger than this, alignment padding counted, or differences of pointers inside
// it would overflow. The engine itself would serve more.
constexpr std::size_t kLargestObject = PTRDIFF_MAX;
static_assert(kLargestObject < kMaxRequestSize);

// Whether `bytes` aligned to `align` (which counts only above what every Block has) fits.
constexpr bool fitsObject(std::size_t bytes, std::size_t align = kMallocAlign) {
  const std::size_t padding = align > kMallocAlign ? align - 1 : 0;
  return bytes <= kLargestObject && padding <= kLargestObject - bytes;
}

void* failWith(int error) {
  errno = error;
  return nullptr;
}

// The tag in front of an over-aligned address, and the payload it was cut from.
bool isOverAligned(void* payload) {
  return Block::ofPayload(payload)->sizeAndFlag == kEndMarker;
}
void* innerPayloadOf(void* overAligned) {
  return Block::ofPayload(overAligned)->prevBlock;
}

// The main heap's record of allocated payloads for the 64 KiB that hold `address`, or null when
// it holds no such address (an arena's Block, the C library's memory, the bootstrap buffer, or no
// heap yet).
[[gnu::always_inline]] inline const Word* payloadBitsAt(const void* address) {
  return mainRecord().granuleBits(reinterpret_cast<std::uintptr_t>(address));
}
bool isPayload(const Word* bits, const void* address) {
  return PayloadMap::holds(bits, reinterpret_cast<std::uintptr_t>(address));
}

// The payload that a pointer into a heap stands for: itself when it is an allocated payload,
// the payload an over-aligned address was cut from (in the same Block, so in the same heap), or
// null for anything else (freed already, inside a payload, at a header, a run's own Block), which
// is left alone as the heap leaves it.
void* payloadFor(Holder holder, void* pointer) {
  if (isPayload(holder.bits, pointer)) [[likely]]
    return isRunBlock(pointer) ? nullptr : pointer;
  if (!isOverAligned(pointer)) return nullptr;
  void* inner = innerPayloadOf(pointer);
  const Word* innerBits =
      holder.heap->payloadMap().granuleBits(reinterpret_cast<std::uintptr_t>(inner));
  return innerBits != nullptr && isPayload(innerBits, inner) && !isRunBlock(inner) ? inner
                                                                                   : nullptr;
}

// The payload bytes of `payload`, which `pointer`, held by `holder`, stands for. Every size the
// front end acts on comes from here: the header's, which an overrun of the payload in front can
// overwrite, held against the heap's record, and put right under the heap lock when they
// disagree.
std::size_t payloadBytesFor(Holder holder, void* pointer, void* payload) {
  const Word* bits =
      payload == pointer
          ? holder.bits
          : holder.heap->payloadMap().granuleBits(reinterpret_cast<std::uintptr_t>(payload));
  return holder.heap->checkedPayloadBytes(bits, payload);
}

// A request no list serves, in the heap that serves the calling thread such requests.
void* fromHeap(std::size_t bytes, std::size_t align) {
  Heap* heap = lockHeapFor(bytes);
  if (heap == nullptr) return bootstrapAllocate(bytes);
  auto* payload = static_cast<CachedBlock*>(heap->allocate(requestSize(bytes), align));
  const bool grew = noteHeapTraffic(*heap, bytes);
  heap->unlock();
  if (grew) depotGiveBack();
  // Memory a cache once held may still carry a whole link and check where this payload now
  // starts, which would make its first free look like a second one.
  if (payload != nullptr) payload->check = 0;
  return payload;
}

// Requests no list can serve at once: a refill, a large request, or one too large. Null with
// ENOMEM when nothing can be had.
[[gnu::noinline]] void* allocateSlowly(std::size_t bytes) {
  void* payload = nullptr;
  if (bytes <= kLargestCachedRequest) {
    payload = refillAndTake(classOfRequest(bytes));
  } else if (fitsObject(bytes)) {
    payload = fromHeap(bytes, kEngineAlign);
  }
  return payload != nullptr ? payload : failWith(ENOMEM);
}

// The fast paths touch the thread's list and nothing else; everything else is out of line, so
// that they need no stack frame.
inline void* allocate(std::size_t bytes) {
  if (bytes <= kLargestCachedRequest) [[likely]] {
    if (void* payload = takeCached(listOfRequest(bytes))) [[likely]]
      return payload;
  }
  return allocateSlowly(bytes);
}

// Frees `payload`, an allocated Block of `heap` of `bytes` (of no class, or an arena's), there.
[[gnu::noinline]] void releaseToHeap(Heap& heap, void* payload, std::size_t bytes) {
  HeapLockGuard guard(heap);
  heap.deallocate(payload);
  noteHeapTraffic(heap, bytes);
}

// Frees `payload`, an allocated payload of `bytes` (checked): to its class's list, or, of no class,
// to the main heap, which holds it. Every call from here is the last thing it does, so that the
// common case, a Block of a class whose list has room, needs no stack frame.
inline void releaseChecked(void* payload, std::size_t bytes) {
  const std::size_t sizeClass = classOfPayload(bytes);
  if (sizeClass == 0) [[unlikely]]
    return releaseToHeap(*heapIfBuilt(), payload, bytes);
  if (!keepCached(payload, sizeClass)) return keepOrPass(payload, sizeClass);
}

// Frees `payload`, an allocated payload whose header and neighbour disagree on its size.
[[gnu::noinline]] void releaseDisagreeing(void* payload) {
  releaseChecked(payload, heapIfBuilt()->payloadBytesByRecord(payload));
}

// Frees `payload`, an allocated payload whose granule's bits are `bits`, sized by its header held
// against the record: against the header behind, but in a consumer (a thread whose last free its
// lists did not take went towards the depot), up to kSpannedByRecord against the record's bits
// between the two payloads, a word for every 256 bytes. The header behind lies at the end of the
// payload, which the thread that made it wrote last: the consumer need not wait for that line,
// and the loads of its next frees go out meanwhile. A thread's own Blocks keep the shorter check,
// whose line it mostly has; so does a Block the look does not size (larger, or whose next payload
// lies in the next granule).
inline constexpr std::size_t kSpannedByRecord = 4096;
void releaseSizedByNeighbour(const Word* bits, void* payload) {
  const std::size_t bytes = heapIfBuilt()->agreedPayloadBytes(bits, payload);
  if (bytes == 0) [[unlikely]]
    return releaseDisagreeing(payload);
  releaseChecked(payload, bytes);
}
[[gnu::noinline]] void releaseSizedByRecord(const Word* bits, void* payload) {
  if (const std::size_t bytes = PayloadMap::payloadBytesWithin(
          bits, reinterpret_cast<std::uintptr_t>(payload), kSpannedByRecord)) {
    return releaseChecked(payload, bytes);
  }
  releaseSizedByNeighbour(bits, payload);
}
[[gnu::noinline]] void releaseSized(const Word* bits, void* payload) {
  if (isRunBlock(payload)) return;
  if (threadCache.freesForOthers) return releaseSizedByRecord(bits, payload);
  releaseSizedByNeighbour(bits, payload);
}

// Frees whatever `pointer` is: null, the C library's memory, the bootstrap buffer, an
// over-aligned address, a large Block, a Block of a cached class, an arena's Block, or nothing a
// heap handed out (left alone, as the heap leaves it).
[[gnu::noinline]] void releaseSlowly(void* pointer) {
  if (pointer == nullptr) return;
  const Holder holder = holderOf(pointer);
  if (holder.heap == nullptr) {
    if (!isBootstrap(pointer) && real.free != nullptr) real.free(pointer);
    return;
  }
  void* payload = payloadFor(holder, pointer);
  if (payload == nullptr) return;
  const std::size_t bytes = payloadBytesFor(holder, pointer, payload);
  // An arena's Block goes to a list only of a class whose lists take any heap's Blocks; one of
  // no class, or of a smaller one (a large Block shrunk, a small aligned one), goes back at once.
  if (arenaTraffic(holder.heap) != nullptr) {
    const std::size_t sizeClass = classOfPayload(bytes);
    if (sizeClass == 0 || payloadOfClass(sizeClass) <= kLeastArenaRequest) {
      return releaseToHeap(*holder.heap, payload, bytes);
    }
  }
  releaseChecked(payload, bytes);
}

// Frees through the fast path what the record alone sizes: an allocated payload whose next
// payload begins within the bits beside its own (a footprint of up to 504 bytes, often), all of
// one fine class; and a slot, whose run's entry sizes it. A consumer freeing a producer's objects
// thus reads neither the header nor the one behind it, which shares a line with the end of the
// payload that the producer wrote last: its next free's loads start meanwhile. A larger allocated
// payload is sized by its header, held against the record; everything else, a pointer the record
// does not show allocated included, goes the slow way, which looks again.
static_assert((2 * PayloadMap::kBitsPerWord / PayloadMap::kBitsPerUnit - 1) * kUnit <= kFineTop,
              "the record's near answer is always a fine class");
inline void release(void* pointer) {
  // A list that is full or not open (a consumer's, for objects another thread made) decides in
  // keepOrPass with the class found here, without looking the object up again.
  if (const std::size_t sizeClass = slotClassAt(pointer)) {
    if (!keepCached(pointer, sizeClass)) keepOrPass(pointer, sizeClass);
    return;
  }
  if (const Word* bits = payloadBitsAt(pointer)) [[likely]] {
    const std::size_t footprint =
        PayloadMap::allocatedFootprintNear(bits, reinterpret_cast<std::uintptr_t>(pointer));
    if (footprint >= footprintOfClass(kFirstBlockClass)) [[likely]] {
      const std::size_t sizeClass = footprint / kFineStep;
      if (!keepCached(pointer, sizeClass)) keepOrPass(pointer, sizeClass);
      return;
    }
    if (footprint == PayloadMap::kFurther) return releaseSized(bits, pointer);
  }
  releaseSlowly(pointer);
}

// The bytes the caller may use at `pointer`, held by `holder`, which stands for `payload`.
std::size_t usableBytes(Holder holder, void* pointer, void* payload) {
  return payloadBytesFor(holder, pointer, payload) -
         static_cast<std::size_t>(static_cast<char*>(pointer) - static_cast<char*>(payload));
}

void* allocateAligned(std::size_t align, std::size_t bytes) {
  if (align <= kMallocAlign) return allocate(bytes);
  if (!fitsObject(bytes, align)) return failWith(ENOMEM);
  // Requests of a class come from its lists, which aligned objects of C++ and of vector code, and
  // buffers for direct I/O, are made and dropped as often as any others. Up to kFineTop, from a
  // class whose footprint is a multiple of the alignment: every slot of a run of such a class is
  // aligned, and the Blocks of a batch carved side by side from an aligned first payload all keep
  // it. Above, from the request's own class, whose Blocks the heap carves aligned one at a time:
  // freed, each goes to the class's list, where the next such request finds it in front.
  if (bytes <= kLargestCachedRequest && align <= kMaxAlign) {
    const std::size_t slot = ((bytes == 0 ? 1 : bytes) + align - 1) & ~(align - 1);
    const std::size_t footprint = (footprintOfRequest(bytes) + align - 1) & ~(align - 1);
    const std::size_t sizeClass = slot <= kLargestSlot    ? slot / kFineStep
                                  : footprint <= kFineTop ? footprint / kFineStep
                                                          : classOfRequest(bytes);
    if (void* payload = takeAligned(sizeClass, align)) return payload;
    if (void* payload = refillAlignedAndTake(sizeClass, align)) return payload;
    bytes = payloadOfClass(sizeClass);
  }
  if (align <= kMaxAlign) {
    void* payload = fromHeap(bytes, align);
    return payload != nullptr ? payload : failWith(ENOMEM);
  }
  // Room for the worst shift and the two tag units in front of the address handed out (the inner
  // request is held to the same limit).
  const std::size_t tagBytes = 2 * kUnit;
  auto* inner = static_cast<char*>(allocate(bytes + align + tagBytes));
  if (inner == nullptr) return nullptr;
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(inner) + tagBytes;
  void* aligned = reinterpret_cast<void*>((start + align - 1) & ~(align - 1));
  Block* tag = Block::ofPayload(aligned);
  tag->sizeAndFlag = kEndMarker;
  tag->prevBlock = Block::at(inner);
  return aligned;
}

// The payload a Block grown in place to serve `bytes` takes: that of the class serving `bytes`,
// so that it goes back to that class when freed, or above the classes the request's own.
std::size_t grownPayload(std::size_t bytes) {
  return bytes <= kLargestCachedRequest ? payloadOfClass(classOfRequest(bytes))
                                        : requestSize(bytes);
}

bool resizeWhereItStands(Heap& heap, void* payload, std::size_t bytes) {
  HeapLockGuard guard(heap);
  return heap.resizeInPlace(payload, bytes);
}

// Moves the contents to a fresh Block of `bytes` and frees the old one.
void* moveTo(std::size_t bytes, void* pointer, std::size_t have) {
  void* moved = allocate(bytes);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved, pointer, have < bytes ? have : bytes);
  release(pointer);
  return moved;
}

[[gnu::noinline]] void* reallocateSlowly(void* pointer, std::size_t bytes) {
  if (bytes == 0) {
    // As the C library does: the old Block is freed and nothing is returned.
    release(pointer);
    return nullptr;
  }
  if (const std::size_t sizeClass = slotClassAt(pointer)) {
    // Kept while the request still fills half of it (or the least slot).
    const std::size_t have = payloadOfClass(sizeClass);
    if (bytes <= have && (2 * bytes >= have || have == kFineStep)) return pointer;
    return fitsObject(bytes) ? moveTo(bytes, pointer, have) : failWith(ENOMEM);
  }
  const Holder holder = holderOf(pointer);
  if (holder.heap == nullptr) {
    if (isBootstrap(pointer)) {
      const auto* source = static_cast<const unsigned char*>(pointer);
      std::size_t available = 0;
      while (available < bytes && isBootstrap(source + available)) ++available;
      void* moved = allocate(bytes);
      if (moved != nullptr) std::memcpy(moved, pointer, available);
      return moved;
    }
    return real.realloc != nullptr ? real.realloc(pointer, bytes) : failWith(ENOMEM);
  }
  if (!fitsObject(bytes)) return failWith(ENOMEM);
  void* payload = payloadFor(holder, pointer);
  if (payload == nullptr) return failWith(ENOMEM);  // not a payload: left alone
  const std::size_t have = usableBytes(holder, pointer, payload);
  if (payload != pointer) return bytes <= have ? pointer : moveTo(bytes, pointer, have);

  const std::size_t want = requestSize(bytes);
  if (classOfPayload(have) != 0) {
    // A cached class: kept while the request still fills half of it, else moved to its class.
    if (want <= have) return want >= have / 2 ? pointer : moveTo(bytes, pointer, have);
    // Grown: a Block of the classes above kLargestBurstFootprint, carved one at a time, was cut
    // from the front of a free Block more often than not. It grows into what is left of that, as a
    // whole Block of the class the request takes, for less than its copy would cost.
    if (have + kHeaderSize > kLargestBurstFootprint &&
        resizeWhereItStands(*holder.heap, pointer, grownPayload(bytes))) {
      return pointer;
    }
    return moveTo(bytes, pointer, have);
  }
  // Small shrinks keep the Block as it is: the tail would be too small to be worth a lock.
  if (want <= have && have - want < 256) return pointer;
  if (resizeWhereItStands(*holder.heap, pointer, want)) return pointer;
  return moveTo(bytes, pointer, have);
}

// realloc of null is malloc: programs whose every allocation goes through realloc (interpreters
// that hand the C library one function for all) take the fast path without a stack frame.
inline void* reallocate(void* pointer, std::size_t bytes) {
  if (pointer == nullptr) return allocate(bytes);
  return reallocateSlowly(pointer, bytes);
}

void* allocateZeroed(std::size_t count, std::size_t each) {
  std::size_t bytes = 0;
  if (__builtin_mul_overflow(count, each, &bytes)) return failWith(ENOMEM);
  void* payload = allocate(bytes);
  if (payload != nullptr) zeroFill(payload, bytes);
  return payload;
}

std::size_t pageBytes() {
  return pal::pageSize();
}

// memalign's own rule: alignments that are not powers of two are rounded up to one.
void* memalignRounded(std::size_t align, std::size_t bytes) {
  if (align > (~std::size_t{0} >> 1) + 1) return failWith(EINVAL);
  std::size_t rounded = 1;
  while (rounded < align) rounded <<= 1;
  return allocateAligned(rounded, bytes);
}

}  // namespace
}  // namespace velk::shim

using namespace velk::shim;

VELK_EXPORT void* VELK_ENTRY(malloc)(std::size_t bytes) noexcept {
  return allocate(bytes);
}

VELK_EXPORT void VELK_ENTRY(free)(void* payload) noexcept {
  release(payload);
}

#ifndef VELK_SHIM_PREFIXED
VELK_EXPORT void cfree(void* payload) noexcept {
  release(payload);
}
#endif

VELK_EXPORT void* VELK_ENTRY(calloc)(std::size_t count, std::size_t each) noexcept {
  return allocateZeroed(count, each);
}

VELK_EXPORT void* VELK_ENTRY(realloc)(void* payload, std::size_t bytes) noexcept {
  return reallocate(payload, bytes);
}

VELK_EXPORT void* VELK_ENTRY(reallocarray)(void* payload, std::size_t count,
                                           std::size_t each) noexcept {
  std::size_t bytes = 0;
  if (__builtin_mul_overflow(count, each, &bytes)) return failWith(ENOMEM);
  return reallocate(payload, bytes);
}

VELK_EXPORT void* VELK_ENTRY(memalign)(std::size_t align, std::size_t bytes) noexcept {
  return memalignRounded(align, bytes);
}

VELK_EXPORT void* VELK_ENTRY(aligned_alloc)(std::size_t align, std::size_t bytes) noexcept {
  if (!isPowerOfTwo(align)) return failWith(EINVAL);
  return allocateAligned(align, bytes);
}

VELK_EXPORT int VELK_ENTRY(posix_memalign)(void** out, std::size_t align,
                                           std::size_t bytes) noexcept {
  if (!isPowerOfTwo(align) || align % sizeof(void*) != 0) return EINVAL;
  const int savedErrno = errno;  // posix_memalign reports by its result, not errno
  void* payload = allocateAligned(align, bytes);
  errno = savedErrno;
  if (payload == nullptr) return ENOMEM;
  *out = payload;
  return 0;
}

VELK_EXPORT void* VELK_ENTRY(valloc)(std::size_t bytes) noexcept {
  return allocateAligned(pageBytes(), bytes);
}

VELK_EXPORT void* VELK_ENTRY(pvalloc)(std::size_t bytes) noexcept {
  const std::size_t page = pageBytes();
  if (bytes > ~std::size_t{0} - page) return failWith(ENOMEM);
  const std::size_t rounded = bytes == 0 ? page : (bytes + page - 1) & ~(page - 1);
  return allocateAligned(page, rounded);
}

// Blocks parked in the depot go back to their heaps, and every page inside the heaps' free Blocks
// goes back to the system at once, rather than once it has lain idle for a pass. `pad` is
// ignored: the heaps' segments stay mapped, and the top of none is cut. 1 when any page went back.
// The calling thread's lists keep their Blocks, as do other threads'.
VELK_EXPORT int VELK_ENTRY(malloc_trim)(std::size_t) noexcept {
  velk::Heap* heap = heapIfBuilt();
  if (heap == nullptr) return 0;
  depotGiveBack();
  const std::size_t givenBack = trimHeap(*heap) + trimArenas();
  return givenBack != 0 ? 1 : 0;
}

VELK_EXPORT std::size_t VELK_ENTRY(malloc_usable_size)(void* pointer) noexcept {
  if (pointer == nullptr) return 0;
  if (const std::size_t sizeClass = slotClassAt(pointer)) return payloadOfClass(sizeClass);
  if (const Holder holder = holderOf(pointer); holder.heap != nullptr) {
    void* payload = payloadFor(holder, pointer);
    return payload != nullptr ? usableBytes(holder, pointer, payload) : 0;
  }
  if (isBootstrap(pointer) || real.mallocUsableSize == nullptr) return 0;
  return real.mallocUsableSize(pointer);
}

#ifndef VELK_SHIM_PREFIXED
// The C library's internal names, which some programs and libraries call directly.
VELK_EXPORT void* __libc_malloc(std::size_t bytes) noexcept {
  return allocate(bytes);
}
VELK_EXPORT void __libc_free(void* payload) noexcept {
  release(payload);
}
VELK_EXPORT void* __libc_calloc(std::size_t count, std::size_t each) noexcept {
  return allocateZeroed(count, each);
}
VELK_EXPORT void* __libc_realloc(void* payload, std::size_t bytes) noexcept {
  return reallocate(payload, bytes);
}
VELK_EXPORT void* __libc_memalign(std::size_t align, std::size_t bytes) noexcept {
  return memalignRounded(align, bytes);
}
#endif
