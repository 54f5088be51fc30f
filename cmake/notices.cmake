# The licence and the notices of third-party code compiled into what ships: CLI11 (header-only,
# in velk-host and velk-replay); winpthreads (linked statically into the Windows DLLs and
# programs); and, in the static velk-replay32 of the 64-bit Linux packages, the GNU C library and
# libstdc++, named in the copyright file.
#   archives: share/doc/VelkAllocator/ README.md, LICENSE, LICENSE.CLI11, and on Windows
#             LICENSE.winpthreads, on Linux the Debian copyright file, which also names the
#             static runtime of the 32-bit velk-replay (component notices)
#   .debs:    share/doc/<package>/ copyright (machine-readable), changelog.gz, and the README in
#             the -dev and -tools packages (components <component>_deb, which only the .debs
#             install: `cmake --install` into a prefix leaves them out)
# Both copies are the same bytes in every build, as Debian requires of the documents of a
# Multi-Arch: same package.
set(VELK_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
  ${VELK_PACKAGING_DIR}/LICENSE.CLI11
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${PROJECT_NAME} COMPONENT notices)

if(WIN32)
  install(FILES ${VELK_PACKAGING_DIR}/LICENSE.winpthreads
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${PROJECT_NAME} COMPONENT notices)
  return()
endif()
find_program(VELK_GZIP gzip REQUIRED)
configure_file(${VELK_PACKAGING_DIR}/copyright.in ${PROJECT_BINARY_DIR}/debian/copyright @ONLY)
configure_file(${VELK_PACKAGING_DIR}/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
# gzip -n: no name or time stamp inside, so every build makes the same bytes.
execute_process(COMMAND ${VELK_GZIP} -9nfk ${PROJECT_BINARY_DIR}/debian/changelog
  COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${PROJECT_BINARY_DIR}/debian/copyright
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${PROJECT_NAME} COMPONENT notices)
foreach(component runtime development tools)
  set(docs ${PROJECT_BINARY_DIR}/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz)
  if(NOT component STREQUAL runtime)
    list(APPEND docs ${PROJECT_SOURCE_DIR}/README.md)
  endif()
  string(TOUPPER ${component} upper)
  install(FILES ${docs}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${VELK_DEB_${upper}_PACKAGE}
    COMPONENT ${component}_deb EXCLUDE_FROM_ALL)
endforeach()

# The 32-bit velk-replay is linked statically, on purpose: the same program is the velk-replay32
# of the 64-bit packages, which runs on amd64 systems without any i386 library. Debian's check
# for static programs is answered for that one file.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(overrides "statically-linked-binary [usr/bin/velk-replay]")
elseif(VELK_REPLAY32)
  set(overrides "statically-linked-binary [usr/bin/velk-replay32]")
endif()
if(overrides)
  file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/debian/lintian/${VELK_DEB_TOOLS_PACKAGE} CONTENT
    "# velk-replay of the 32-bit build is static: it is also velk-replay32 of the 64-bit one.
${VELK_DEB_TOOLS_PACKAGE}: ${overrides}
")
  install(FILES ${PROJECT_BINARY_DIR}/debian/lintian/${VELK_DEB_TOOLS_PACKAGE}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT tools_deb
    EXCLUDE_FROM_ALL)
endif()
