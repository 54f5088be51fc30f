# Man pages of the Linux packages, in build/<preset>/man:
#   velk-host.1, velk-replay.1   help2man on the programs' own --help and --version, so they
#                                follow the options; velk-replay32 and velk-replay-malloc, which
#                                velk-replay calls, link to velk-replay.1
#   libvelkmalloc.7              the shim and how to preload it (packaging/libvelkmalloc.7.in)
# A build whose programs this machine may not run (linux32) takes the help2man pages of the
# linux64 build (VELK_MAN_PAGES_FROM), which scripts/package.sh makes first: the options are the
# same at either width.
if(WIN32)
  return()
endif()
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(VELK_MAN_DIR ${PROJECT_BINARY_DIR}/man)
set(VELK_MAN_PAGE_TOOL ${PROJECT_SOURCE_DIR}/packaging/man_page.py)
file(MAKE_DIRECTORY ${VELK_MAN_DIR})

# help2man dates a page from SOURCE_DATE_EPOCH: the date of the release in the changelog, so that
# every build of a release writes the same page.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog.in release_line REGEX "^ -- " LIMIT_COUNT 1)
string(REGEX REPLACE "^ -- .*  " "" release_date "${release_line}")
execute_process(COMMAND date -u -d "${release_date}" +%s OUTPUT_VARIABLE VELK_RELEASE_EPOCH
  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)

configure_file(${PROJECT_SOURCE_DIR}/packaging/libvelkmalloc.7.in ${VELK_MAN_DIR}/libvelkmalloc.7
  @ONLY)
add_custom_command(OUTPUT ${VELK_MAN_DIR}/libvelkmalloc.7.gz
  COMMAND Python3::Interpreter ${VELK_MAN_PAGE_TOOL} ${VELK_MAN_DIR}/libvelkmalloc.7.gz
    --page ${VELK_MAN_DIR}/libvelkmalloc.7
  DEPENDS ${VELK_MAN_DIR}/libvelkmalloc.7 ${VELK_MAN_PAGE_TOOL}
  VERBATIM)
set(man_pages ${VELK_MAN_DIR}/libvelkmalloc.7.gz)
install(FILES ${VELK_MAN_DIR}/libvelkmalloc.7.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man7
  COMPONENT runtime)

set(VELK_PROGRAM_SUMMARY_velk-host
  "load a VelkAllocator library and run a workload through its seven exports")
set(VELK_PROGRAM_SUMMARY_velk-replay
  "replay the log of a traced VelkAllocator library and draw its heap")
find_program(VELK_HELP2MAN help2man)
if(NOT CMAKE_CROSSCOMPILING AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  if(VELK_HELP2MAN)
    foreach(program velk-host velk-replay)
      if(TARGET ${program})
        add_custom_command(OUTPUT ${VELK_MAN_DIR}/${program}.1.gz
          COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${VELK_RELEASE_EPOCH}
            $<TARGET_FILE:Python3::Interpreter> ${VELK_MAN_PAGE_TOOL} ${VELK_MAN_DIR}/${program}.1.gz
            --program $<TARGET_FILE:${program}> --name ${VELK_PROGRAM_SUMMARY_${program}}
            --include ${PROJECT_SOURCE_DIR}/packaging/${program}.h2m
          DEPENDS ${program} ${VELK_MAN_PAGE_TOOL} ${PROJECT_SOURCE_DIR}/packaging/${program}.h2m
          VERBATIM)
        list(APPEND man_pages ${VELK_MAN_DIR}/${program}.1.gz)
      endif()
    endforeach()
  else()
    message(WARNING "help2man not found: the packages will have no man pages of the programs "
      "(scripts/install-deps.sh installs it)")
  endif()
  set(VELK_MAN_PAGES_FROM ${VELK_MAN_DIR})
else()
  set(VELK_MAN_PAGES_FROM ${PROJECT_SOURCE_DIR}/build/linux64/man CACHE PATH
    "Where the man pages of the programs come from: a build that can run them")
endif()
add_custom_target(man_pages ALL DEPENDS ${man_pages})

foreach(program velk-host velk-replay)
  if(TARGET ${program})
    install(FILES ${VELK_MAN_PAGES_FROM}/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
      COMPONENT tools OPTIONAL)
  endif()
endforeach()
# The programs velk-replay runs for itself: their page is velk-replay's.
set(replay_helpers "")
if(TARGET velk-replay-malloc)
  list(APPEND replay_helpers velk-replay-malloc)
endif()
if(VELK_REPLAY32)
  list(APPEND replay_helpers velk-replay32)
endif()
foreach(helper ${replay_helpers})
  file(CREATE_LINK velk-replay.1.gz ${VELK_MAN_DIR}/${helper}.1.gz SYMBOLIC)
  install(FILES ${VELK_MAN_DIR}/${helper}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    COMPONENT tools)
endforeach()
