# What `cmake --install` lays out, in the GNU folders under the prefix, and the packages `cpack`
# makes of it in a build folder (scripts/package.sh runs it for every build that ships):
#   bin/        VelkAllocator.dll and VelkAllocator-traced.dll (Windows), the programs (64-bit
#               Linux: with the 32-bit velk-replay32 beside them)
#   lib/        (Linux: lib/<multiarch>/, as Debian lays it out) libvelkallocator.so.1 or the
#               import libraries and .def (Windows), the traced twin of each, libvelkmalloc.so.1
#               (Linux), the CMake package, velkallocator.pc
#   include/    velk/allocator.h, velk/version.h
#   share/      the README, the licence and the notices of what is compiled in; the man pages
#
# Every file belongs to one component, and each component is one Debian package:
#   runtime      libvelkallocator1      the shared libraries, the shim's man page
#   development  libvelkallocator-dev   headers, .so links, CMake package, velkallocator.pc
#   tools        velkallocator-tools    the programs and their man pages
# The archives hold all three, with share/doc/VelkAllocator; each Debian package has its own
# share/doc/<package> instead (cpack_project_config.cmake picks the components per generator).

# Debian's multiarch folder (lib/x86_64-linux-gnu, lib/i386-linux-gnu) in every Linux install, so
# that the amd64 and i386 libraries, CMake packages and velkallocator.pc never share a path. CMake
# names it only where the system has libraries in that folder already: a 32-bit build with
# multilib's /usr/lib32 alone has none, so the compiler, with the build's flags, names it instead.
if(NOT WIN32)
  set(VELK_MULTIARCH ${CMAKE_LIBRARY_ARCHITECTURE})
  if(NOT VELK_MULTIARCH)
    separate_arguments(velk_compile_flags UNIX_COMMAND "${CMAKE_CXX_FLAGS}")
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${velk_compile_flags} -print-multiarch
      OUTPUT_VARIABLE VELK_MULTIARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(VELK_MULTIARCH)
    set(CMAKE_INSTALL_LIBDIR lib/${VELK_MULTIARCH})
  endif()
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VELK_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VelkAllocator)
set(VELK_PACKAGE_MAINTAINER "VelkAllocator developers <maintainers@velkallocator.example>"
  CACHE STRING "Maintainer of the Debian packages and contact of their copyright file")
set(VELK_DEB_RUNTIME_PACKAGE libvelkallocator${PROJECT_VERSION_MAJOR})
set(VELK_DEB_DEVELOPMENT_PACKAGE libvelkallocator-dev)
set(VELK_DEB_TOOLS_PACKAGE velkallocator-tools)

# The library ships with its traced twin: the same exports, a log line for every call. A host
# developer who wants to see a host's calls swaps it in, and the call log it writes is what a
# replay of the calls reads.
set_target_properties(velkallocator PROPERTIES EXPORT_NAME allocator)
set_target_properties(velkallocator_traced PROPERTIES EXPORT_NAME allocator_traced)
install(TARGETS velkallocator velkallocator_traced EXPORT VelkAllocatorTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
    NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/velk/allocator.h
  ${PROJECT_BINARY_DIR}/include/velk/version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velk COMPONENT development)
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/msvc_import_library.cmake)
  # Beside each mingw import library: the import definition it was made from, and the import
  # library in Microsoft's format (VelkAllocator.lib) that an MSVC-built host links.
  foreach(library velkallocator velkallocator_traced)
    get_target_property(import_definition ${library} VELK_IMPORT_DEFINITION)
    get_target_property(msvc_import_library ${library} VELK_MSVC_IMPORT_LIBRARY)
    if(NOT msvc_import_library)
      set(msvc_import_library "")
    endif()
    install(FILES ${import_definition} ${msvc_import_library}
      DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
  endforeach()
endif()

# The LD_PRELOAD shim, where the build has one. It is named like the library
# (libvelkmalloc.so.1, SONAME and links), as the loader cache and the .deb's shlibs expect.
if(TARGET velkmalloc)
  set_target_properties(velkmalloc PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})
  install(TARGETS velkmalloc
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
      NAMELINK_COMPONENT development)
endif()

# Every program people run that this build made; a new one under tools/ only needs its name here.
foreach(program velk-host velk-replay velk-replay-malloc)
  if(TARGET ${program})
    install(TARGETS ${program} COMPONENT tools)
  endif()
endforeach()

# The 32-bit velk-replay beside the 64-bit one, for 32-bit traces (tools/velk-replay), when the
# linux32 build has made it by the time of installing: scripts/package.sh makes it before it
# packages linux64. A stripped install strips it too: it is no target of this build.
if(VELK_REPLAY32)
  install(PROGRAMS ${VELK_REPLAY32} DESTINATION ${CMAKE_INSTALL_BINDIR}
    RENAME velk-replay32 OPTIONAL COMPONENT tools)
  install(CODE "
    set(replay32 \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/velk-replay32\")
    if(CMAKE_INSTALL_DO_STRIP AND EXISTS \"\${replay32}\")
      execute_process(COMMAND \"${CMAKE_STRIP}\" \"\${replay32}\" COMMAND_ERROR_IS_FATAL ANY)
    endif()" COMPONENT tools)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/man_pages.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/notices.cmake)

# find_package(VelkAllocator 1.0) gives VelkAllocator::allocator (and ::allocator_traced). The
# version file also refuses a package of the other bitness.
install(EXPORT VelkAllocatorTargets NAMESPACE VelkAllocator::
  DESTINATION ${VELK_CMAKE_PACKAGE_DIR} COMPONENT development)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VelkAllocatorConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/VelkAllocatorConfig.cmake
  ${PROJECT_BINARY_DIR}/VelkAllocatorConfigVersion.cmake
  DESTINATION ${VELK_CMAKE_PACKAGE_DIR} COMPONENT development)

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
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

include(${CMAKE_CURRENT_LIST_DIR}/packages.cmake)
