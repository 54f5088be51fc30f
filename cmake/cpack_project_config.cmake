# Read by cpack once per generator: the archives hold every component with the licence and the
# README in share/doc/VelkAllocator; the .debs are one package per component, each with its own
# copyright and changelog in share/doc/<package>.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  # Each package's description starts with a synopsis of its own; CPack puts the project's
  # summary in front of it unless the summary is its default.
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CPACK_DEFAULT_PACKAGE_DESCRIPTION_SUMMARY}")
  set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
  set(CPACK_COMPONENTS_ALL runtime runtime_deb development development_deb tools tools_deb)
  foreach(component runtime development tools)
    string(TOUPPER ${component} upper)
    set(CPACK_COMPONENT_${upper}_GROUP ${component})
    set(CPACK_COMPONENT_${upper}_DEB_GROUP ${component})
  endforeach()
else()
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENTS_ALL runtime development tools notices)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
