/* Stand-ins for the seven exports, compiled as Microsoft's compiler compiles a host's C (clang
   --target=i686-pc-windows-msvc) from the public header, so that each definition carries the
   decorated name a host's call refers to (_MemAlloc@4). lld-link links them into a throw-away
   DLL only for the import library it writes beside it: an export that the header's declarations
   did not decorate as the library exports it leaves the link unresolved. */
#include <velk/allocator.h>

void* VELK_CALL MemAlloc(uint32_t size) {
  (void)size;
  return 0;
}
void VELK_CALL MemFree(void* payload) {
  (void)payload;
}
int32_t VELK_CALL MemSize(void* payload) {
  (void)payload;
  return 0;
}
int32_t VELK_CALL MemFlushCache(int32_t level) {
  (void)level;
  return 0;
}
void VELK_CALL MemFlushCacheAll(void) {}
uint32_t VELK_CALL MemTotalReserved(void) {
  return 0;
}
uint32_t VELK_CALL MemTotalCommitted(void) {
  return 0;
}
