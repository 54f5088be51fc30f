# Packages: a ZIP for Windows; a .tar.gz and three .debs for each Linux build. Each comes with its
# SHA-256 sum in a .sha256 file beside it. Release packages carry no debug information.
# cpack_project_config.cmake picks the components of each generator.
if(WIN32)
  set(VELK_PACKAGE_PLATFORM win32)
  set(CPACK_GENERATOR ZIP)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(VELK_PACKAGE_PLATFORM linux32)
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
else()
  set(VELK_PACKAGE_PLATFORM linux64)
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
endif()
set(CPACK_PACKAGE_NAME VelkAllocator)
set(CPACK_PACKAGE_VENDOR VelkAllocator)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "General-purpose memory allocator: MemAlloc, MemFree and MemSize over one process-wide heap")
set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-${VELK_PACKAGE_PLATFORM})
set(CPACK_ARCHIVE_FILE_NAME ${CPACK_PACKAGE_FILE_NAME})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack_project_config.cmake)

# The Debian packages, one per component, named and laid out as Debian does for a library:
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VELK_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(VELK_PACKAGE_DESCRIPTION_TAIL [[
VelkAllocator serves MemAlloc, MemFree and MemSize from one process-wide
heap: segments of address space carved into Blocks with boundary tags, free
Blocks filed in 1473 size classes found through an occupancy bitmap and
merged with their free neighbours at once.
]])
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${VELK_DEB_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "general-purpose memory allocator (shared libraries)
${VELK_PACKAGE_DESCRIPTION_TAIL}
This package holds libvelkallocator.so.1; its traced twin
libvelkallocator-traced.so.1, which logs every call for velk-replay; and
libvelkmalloc.so.1, which puts the engine behind any program's malloc
through LD_PRELOAD.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The libraries' folder is in the loader's search path: dpkg's ldconfig trigger rebuilds the
# loader cache. The postinst and postrm that CPack would write to call ldconfig themselves are
# named here without a file, which keeps CPack from writing them.
configure_file(${PROJECT_SOURCE_DIR}/packaging/triggers ${PROJECT_BINARY_DIR}/debian/runtime/triggers
  COPYONLY)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/runtime/triggers
  ${PROJECT_BINARY_DIR}/debian/runtime/postinst ${PROJECT_BINARY_DIR}/debian/runtime/postrm)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${VELK_DEB_DEVELOPMENT_PACKAGE})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "general-purpose memory allocator (development files)
${VELK_PACKAGE_DESCRIPTION_TAIL}
This package holds the header velk/allocator.h, the links a host links
against, the CMake package (find_package(VelkAllocator)) and
velkallocator.pc.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
  "${VELK_DEB_RUNTIME_PACKAGE} (= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${VELK_DEB_TOOLS_PACKAGE})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "general-purpose memory allocator (demo host, trace replayer)
${VELK_PACKAGE_DESCRIPTION_TAIL}
This package holds velk-host, which loads the library and runs a workload
through its exports, and velk-replay, which replays the log of the traced
library on an engine of its own and draws the heap at any call or over
the whole run.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${VELK_DEB_RUNTIME_PACKAGE} (= ${PROJECT_VERSION})")

# dpkg-shlibdeps takes the first library of the right width it finds: for i386 that is in
# /usr/lib/i386-linux-gnu (the i386 packages), not the amd64 multilib copies in /usr/lib32.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS /lib/i386-linux-gnu /usr/lib/i386-linux-gnu)
endif()

# CPack of CMake 3.25 has no setting for Multi-Arch: the field follows Source on its line.
# Multi-Arch: same lets the amd64 and i386 library and -dev packages be installed side by side;
# the tools are one program per system, of either architecture.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SOURCE "velkallocator\nMulti-Arch: same")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SOURCE "velkallocator\nMulti-Arch: same")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SOURCE "velkallocator\nMulti-Arch: foreign")
include(CPack)
