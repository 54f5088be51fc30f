# CLI11, the command-line parser of the programs: header-only, from the distribution's package.
# The cross build cannot take the host's include folder whole (its C headers would shadow the
# mingw ones), so the CLI folder alone is copied into the build tree and included from there.
find_path(VELK_CLI11_INCLUDE CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
file(COPY ${VELK_CLI11_INCLUDE}/CLI DESTINATION ${CMAKE_BINARY_DIR}/cli11)
add_library(velk_cli11 INTERFACE)
target_include_directories(velk_cli11 SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/cli11)
target_include_directories(velk_cli11 INTERFACE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(velk_cli11 INTERFACE velk_version)
