/* A host built the way Microsoft's toolchain builds one (clang --target=i686-pc-windows-msvc,
   lld-link against VelkAllocator.lib), compiled as C and as C++. Microsoft's C runtime is not
   here, so the host does without it: its entry point talks to the library and to kernel32 alone.
   It allocates, fills, measures and frees a payload through the header's declarations and
   writes what it saw; the library's log shows the rest. */
#include <velk/allocator.h>

#ifdef __cplusplus
extern "C" {
#endif
__declspec(dllimport) void* __stdcall GetStdHandle(uint32_t which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* bytes, uint32_t count,
                                              uint32_t* written, void* overlapped);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(uint32_t code);
#ifdef __cplusplus
}
#endif

static void say(const char* text) {
  uint32_t length = 0;
  uint32_t written = 0;
  while (text[length] != '\0') ++length;
  WriteFile(GetStdHandle((uint32_t)-11), text, length, &written, 0);
}

#ifdef __cplusplus
extern "C"
#endif
    void __cdecl hostMain(void) {
  unsigned char* payload = (unsigned char*)MemAlloc(1000);
  if (payload == 0 || MemSize(payload) < 1000 || (uintptr_t)payload % 16 != 0) {
    say("MSVC host: MemAlloc(1000) gave no usable payload\r\n");
    ExitProcess(1);
  }
  for (uint32_t i = 0; i < 1000; ++i) payload[i] = (unsigned char)(i * 37u);
  for (uint32_t i = 0; i < 1000; ++i) {
    if (payload[i] != (unsigned char)(i * 37u)) ExitProcess(1);
  }
  MemFree(payload);
  MemFlushCacheAll();
  if (MemFlushCache(0) != 0 || MemTotalReserved() != 0 || MemTotalCommitted() != 0) ExitProcess(1);
  say("MSVC host: allocated and freed 1000 bytes\r\n");
  ExitProcess(0);
}
