# Checks the export directory and imports of the Windows DLL with objdump:
#   cmake -DOBJDUMP=... -DLIBRARY=VelkAllocator.dll -P check_dll_exports.cmake
execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "objdump failed on ${LIBRARY}")
endif()

set(problems "")
macro(expect_match pattern what)
  if(NOT dump MATCHES "${pattern}")
    string(APPEND problems "\n  ${what}")
  endif()
endmacro()
expect_match("\nName[ \t]+[0-9a-f]+ VelkAllocator\\.dll\n" "module name VelkAllocator.dll")
expect_match("\nOrdinal Base[ \t]+1\n" "ordinal base 1")
expect_match("\n[ \t]*Export Address Table[ \t]+00000007\n" "seven entries, none by ordinal only")
expect_match("\n[ \t]*\\[Name Pointer/Ordinal\\] Table[ \t]+00000007\n" "seven names")

# Names in ordinal order: ordinal-table entry i (ordinal base + i) names export i.
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]+\n)+" table "${dump}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" entries "${table}")
set(expected "[0] _MemAlloc@4;[1] _MemFlushCache@4;[2] _MemFlushCacheAll@0;[3] _MemFree@4;[4] _MemSize@4;[5] _MemTotalCommitted@0;[6] _MemTotalReserved@0")
string(REGEX REPLACE "\\[ +" "[" entries "${entries}")
if(NOT entries STREQUAL expected)
  string(APPEND problems "\n  names and ordinals: got '${entries}'")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
if(NOT imports STREQUAL "DLL Name: KERNEL32.dll;DLL Name: msvcrt.dll")
  string(APPEND problems "\n  imports only KERNEL32.dll and msvcrt.dll: got '${imports}'")
endif()

if(problems)
  message(FATAL_ERROR "${LIBRARY} export table is wrong:${problems}")
endif()
message(STATUS "${LIBRARY}: seven decorated exports, ordinals 1 to 7, system imports only")
