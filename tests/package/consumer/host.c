/* A host outside the tree, built against an installed package: links the library, allocates,
   fills and frees one payload. The library's log shows the rest. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <velk/allocator.h>
#include <velk/version.h>

int main(void) {
  unsigned char* payload = (unsigned char*)MemAlloc(1000);
  if (payload == NULL || MemSize(payload) < 1000 || (uintptr_t)payload % 16 != 0) return 1;
  memset(payload, 0xA5, 1000);
  MemFree(payload);
  printf("VelkAllocator %s: allocated and freed 1000 bytes\n", VELK_VERSION_STRING);
  return 0;
}
