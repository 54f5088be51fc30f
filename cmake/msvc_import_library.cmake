# The import library in Microsoft's format, VelkAllocator.lib, that a host built with MSVC links
# (the mingw one, libVelkAllocator.dll.a, serves mingw hosts). Each of its entries binds a host's
# reference to _MemAlloc@4 (and __imp__MemAlloc@4) to the DLL's export of that very name, which
# the entries of a GNU import definition cannot say to LLVM 14's tools. lld-link writes it, as
# Microsoft's linker does, beside a DLL linked from an MSVC-style definition: that DLL is a
# throw-away of stand-ins (packaging/msvc_import_stub.c) compiled from the public header.
find_program(VELK_CLANG NAMES clang clang-14)
find_program(VELK_LLD_LINK NAMES lld-link lld-link-14)
if(NOT VELK_CLANG OR NOT VELK_LLD_LINK)
  message(WARNING "clang or lld-link not found: no VelkAllocator.lib for MSVC hosts "
    "(scripts/install-deps.sh installs clang and lld)")
  return()
endif()

file(READ ${PROJECT_SOURCE_DIR}/library/exports.def.in link_definition)
set(stub_object ${PROJECT_BINARY_DIR}/msvc/msvc_import_stub.obj)
add_custom_command(OUTPUT ${stub_object}
  COMMAND ${VELK_CLANG} --target=i686-pc-windows-msvc -ffreestanding -std=c11 -Wall -Wextra
    -Werror -I${PROJECT_SOURCE_DIR}/include -c ${PROJECT_SOURCE_DIR}/packaging/msvc_import_stub.c
    -o ${stub_object}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/msvc_import_stub.c
    ${PROJECT_SOURCE_DIR}/include/velk/allocator.h
  VERBATIM)

foreach(library velkallocator velkallocator_traced)
  get_target_property(windows_name ${library} OUTPUT_NAME)
  # "_MemAlloc@4 = MemAlloc@4 @1" exports the symbol under its decorated name; for the import
  # library the name and the ordinal are all there is.
  string(REGEX REPLACE "(_[A-Za-z]+@[0-9]+) = [A-Za-z]+@[0-9]+ (@[0-9]+)" "\\1 \\2"
    msvc_definition "${link_definition}")
  string(REPLACE "@VELK_MODULE_NAME@" "${windows_name}.dll" msvc_definition "${msvc_definition}")
  set(folder ${PROJECT_BINARY_DIR}/msvc/${windows_name})
  file(CONFIGURE OUTPUT ${folder}/${windows_name}.def CONTENT "${msvc_definition}")
  add_custom_command(OUTPUT ${folder}/${windows_name}.lib
    COMMAND ${VELK_LLD_LINK} /nologo /dll /noentry /nodefaultlib /machine:x86
      /def:${windows_name}.def /out:${windows_name}.dll /implib:${windows_name}.lib ${stub_object}
    DEPENDS ${stub_object} ${folder}/${windows_name}.def
    WORKING_DIRECTORY ${folder}
    VERBATIM)
  add_custom_target(${library}_msvc_import ALL DEPENDS ${folder}/${windows_name}.lib)
  set_target_properties(${library} PROPERTIES VELK_MSVC_IMPORT_LIBRARY ${folder}/${windows_name}.lib)
endforeach()
