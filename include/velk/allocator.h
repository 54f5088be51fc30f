// VelkAllocator: the seven entry points a host resolves by name after loading the library
// (VelkAllocator.dll on Windows, libvelkallocator.so elsewhere).
//
// On 32-bit Windows they use the standard calling convention and are exported under their
// decorated names ("_MemAlloc@4"); elsewhere they are plain C symbols ("MemAlloc"). Hosts that
// resolve by name use the pointer types and the VELK_EXPORT_NAME_* strings below.
#ifndef VELK_ALLOCATOR_H
#define VELK_ALLOCATOR_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define VELK_CALL __stdcall
#else
#define VELK_CALL
#endif

// Windows exports through the module definition file alone; ELF builds hide every symbol but
// these.
#if defined(_WIN32)
#define VELK_API
#else
#define VELK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// A payload of at least `size` bytes, aligned to 16 for sizes of 16 and more, to 8 for 8 to 15
// and to 4 below; null when the size is above 0xFFF00000 or the system gives no more memory.
VELK_API void* VELK_CALL MemAlloc(uint32_t size);
// Gives back a payload from MemAlloc. Null is ignored; pointers the library did not hand out go
// to the runtime library's free.
VELK_API void VELK_CALL MemFree(void* payload);
// The usable bytes of a payload from MemAlloc (at least the size asked for); 0 for null and for
// pointers the library did not hand out.
VELK_API int32_t VELK_CALL MemSize(void* payload);
// The library keeps no cache: both flushes release nothing. MemFlushCache returns 0.
VELK_API int32_t VELK_CALL MemFlushCache(int32_t level);
VELK_API void VELK_CALL MemFlushCacheAll(void);
// Always 0; the heap's figures go only to the log.
VELK_API uint32_t VELK_CALL MemTotalReserved(void);
VELK_API uint32_t VELK_CALL MemTotalCommitted(void);

typedef void*(VELK_CALL* VelkMemAllocFn)(uint32_t size);
typedef void(VELK_CALL* VelkMemFreeFn)(void* payload);
typedef int32_t(VELK_CALL* VelkMemSizeFn)(void* payload);
typedef int32_t(VELK_CALL* VelkMemFlushCacheFn)(int32_t level);
typedef void(VELK_CALL* VelkMemFlushCacheAllFn)(void);
typedef uint32_t(VELK_CALL* VelkMemTotalReservedFn)(void);
typedef uint32_t(VELK_CALL* VelkMemTotalCommittedFn)(void);

#ifdef __cplusplus
}
#endif

// The names under which the library exports the entry points.
#if defined(_WIN32) && !defined(_WIN64)
#define VELK_EXPORT_NAME_MEMALLOC "_MemAlloc@4"
#define VELK_EXPORT_NAME_MEMFREE "_MemFree@4"
#define VELK_EXPORT_NAME_MEMSIZE "_MemSize@4"
#define VELK_EXPORT_NAME_MEMFLUSHCACHE "_MemFlushCache@4"
#define VELK_EXPORT_NAME_MEMFLUSHCACHEALL "_MemFlushCacheAll@0"
#define VELK_EXPORT_NAME_MEMTOTALRESERVED "_MemTotalReserved@0"
#define VELK_EXPORT_NAME_MEMTOTALCOMMITTED "_MemTotalCommitted@0"
#else
#define VELK_EXPORT_NAME_MEMALLOC "MemAlloc"
#define VELK_EXPORT_NAME_MEMFREE "MemFree"
#define VELK_EXPORT_NAME_MEMSIZE "MemSize"
#define VELK_EXPORT_NAME_MEMFLUSHCACHE "MemFlushCache"
#define VELK_EXPORT_NAME_MEMFLUSHCACHEALL "MemFlushCacheAll"
#define VELK_EXPORT_NAME_MEMTOTALRESERVED "MemTotalReserved"
#define VELK_EXPORT_NAME_MEMTOTALCOMMITTED "MemTotalCommitted"
#endif

#endif  // VELK_ALLOCATOR_H
