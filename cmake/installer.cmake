# The Windows installer (NSIS): dialscope-setup-<version>.exe in the build
# folder, made by makensis (Debian's nsis) from app/win32/installer.nsi.in with
# the programs this build makes, and its test under Wine.
find_program(DIALSCOPE_MAKENSIS makensis)
if(NOT DIALSCOPE_MAKENSIS)
  message(STATUS "makensis not found (package nsis): no Windows installer")
  return()
endif()

set(programs dialscope)
if(TARGET dialscope-cli)
  list(APPEND programs dialscope-cli)
endif()
set(DIALSCOPE_SETUP ${CMAKE_BINARY_DIR}/dialscope-setup-${PROJECT_VERSION}.exe)
set(DIALSCOPE_SETUP_FILES "")
set(DIALSCOPE_UNINSTALL_FILES "")
foreach(program ${programs})
  string(APPEND DIALSCOPE_SETUP_FILES "  File \"$<TARGET_FILE:${program}>\"\n")
  string(APPEND DIALSCOPE_UNINSTALL_FILES "  Delete \"$INSTDIR\\$<TARGET_FILE_NAME:${program}>\"\n")
endforeach()
configure_file(${CMAKE_SOURCE_DIR}/app/win32/installer.nsi.in ${CMAKE_BINARY_DIR}/installer.nsi.gen @ONLY)
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/installer.nsi INPUT ${CMAKE_BINARY_DIR}/installer.nsi.gen)

add_custom_command(OUTPUT ${DIALSCOPE_SETUP}
  COMMAND ${DIALSCOPE_MAKENSIS} -V2 ${CMAKE_BINARY_DIR}/installer.nsi
  DEPENDS ${programs} ${CMAKE_BINARY_DIR}/installer.nsi
  COMMENT "Making the installer dialscope-setup-${PROJECT_VERSION}.exe"
  VERBATIM)
add_custom_target(dialscope-setup ALL DEPENDS ${DIALSCOPE_SETUP})

if(DIALSCOPE_WITH_TESTS)
  add_test(NAME win32.installer
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/win32/installer.sh ${DIALSCOPE_SETUP} ${PROJECT_VERSION} ${programs})
  set_tests_properties(win32.installer PROPERTIES
    ENVIRONMENT WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix RESOURCE_LOCK win32_wineprefix TIMEOUT 300)
endif()
