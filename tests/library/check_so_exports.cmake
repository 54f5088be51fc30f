# Checks that the shared library defines exactly the seven entry points as dynamic symbols:
#   cmake -DNM=nm -DLIBRARY=libvelkallocator.so -P check_so_exports.cmake
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE dump
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^ \n]+\n" symbols "${dump}")
string(REPLACE "\n" "" symbols "${symbols}")
list(SORT symbols)
set(expected MemAlloc MemFlushCache MemFlushCacheAll MemFree MemSize MemTotalCommitted
  MemTotalReserved)
if(NOT symbols STREQUAL expected)
  message(FATAL_ERROR "${LIBRARY} exports '${symbols}', expected '${expected}'")
endif()
message(STATUS "${LIBRARY}: exactly the seven entry points")
