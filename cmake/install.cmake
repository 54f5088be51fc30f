# What `cmake --install` lays out, in the GNU folders under the prefix, and the archives `cpack`
# makes of it in a build folder (scripts/package.sh runs it for every build that ships):
#   bin/        VelkAllocator.dll and VelkAllocator-traced.dll (Windows), the programs (64-bit
#               Linux: with the 32-bit velk-replay32 beside them)
#   lib/        libvelkallocator.so.1 (Linux) or the import library and .def (Windows), the traced
#               twin of each, libvelkmalloc.so (Linux), the CMake package, velkallocator.pc
#   include/    velk/allocator.h, velk/version.h
#   share/doc/  the README
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VELK_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VelkAllocator)

# The library ships with its traced twin: the same exports, a log line for every call. A host
# developer who wants to see a host's calls swaps it in, and the call log it writes is what a
# replay of the calls reads.
set_target_properties(velkallocator PROPERTIES EXPORT_NAME allocator)
set_target_properties(velkallocator_traced PROPERTIES EXPORT_NAME allocator_traced)
install(TARGETS velkallocator velkallocator_traced EXPORT VelkAllocatorTargets
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/velk/allocator.h
  ${PROJECT_BINARY_DIR}/include/velk/version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velk)
if(WIN32)
  foreach(library velkallocator velkallocator_traced)
    get_target_property(import_definition ${library} VELK_IMPORT_DEFINITION)
    install(FILES ${import_definition} DESTINATION ${CMAKE_INSTALL_LIBDIR})
  endforeach()
endif()

# The LD_PRELOAD shim, where the build has one. It is named like the library
# (libvelkmalloc.so.1, SONAME and links), as the loader cache and the .deb's shlibs expect.
if(TARGET velkmalloc)
  set_target_properties(velkmalloc PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})
  install(TARGETS velkmalloc LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

# Every program people run that this build made; a new one under tools/ only needs its name here.
foreach(program velk-host velk-replay velk-replay-malloc)
  if(TARGET ${program})
    install(TARGETS ${program})
  endif()
endforeach()

# The 32-bit velk-replay beside the 64-bit one, for 32-bit traces (tools/velk-replay), when the
# linux32 build has made it by the time of installing: scripts/package.sh makes it before it
# packages linux64.
if(VELK_REPLAY32)
  install(PROGRAMS ${VELK_REPLAY32} DESTINATION ${CMAKE_INSTALL_BINDIR}
    RENAME velk-replay32 OPTIONAL)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# find_package(VelkAllocator 1.0) gives VelkAllocator::allocator (and ::allocator_traced). The
# version file also refuses a package of the other bitness.
install(EXPORT VelkAllocatorTargets NAMESPACE VelkAllocator::
  DESTINATION ${VELK_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VelkAllocatorConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/VelkAllocatorConfig.cmake
  ${PROJECT_BINARY_DIR}/VelkAllocatorConfigVersion.cmake
  DESTINATION ${VELK_CMAKE_PACKAGE_DIR})

# velkallocator.pc finds its prefix from its own folder, so an archive unpacked anywhere works.
file(RELATIVE_PATH VELK_PKGCONFIG_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" VELK_PKGCONFIG_TO_PREFIX ${VELK_PKGCONFIG_TO_PREFIX})
if(WIN32)
  set(VELK_PKGCONFIG_LIBRARY VelkAllocator)
else()
  set(VELK_PKGCONFIG_LIBRARY velkallocator)
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/velkallocator.pc.in
  ${PROJECT_BINARY_DIR}/velkallocator.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/velkallocator.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Archives: a ZIP for Windows, a .tar.gz and a .deb for each Linux build, each with its SHA-256
# sum in a .sha256 file beside it. Release archives carry no debug information.
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
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_NAME velkallocator)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "VelkAllocator developers")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
# A shlibs file and the ldconfig trigger, so that the dynamic linker finds libvelkallocator.so.1.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
include(CPack)
