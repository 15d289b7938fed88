# cmake -DVERSION=1.3 "-DPROGRAMS=path;path..." [-DRUNNER=wine-run] -P check_version.cmake
#
# Runs every program with --version, as a user would (through RUNNER for the
# Windows programs): each must say "<program> <VERSION>" on stdout, nothing
# else, and exit 0 at once, with no window and no device.
cmake_minimum_required(VERSION 3.20)

set(failures "")
foreach(program IN LISTS PROGRAMS)
  get_filename_component(name "${program}" NAME)
  string(REGEX REPLACE "\\.exe$" "" name "${name}")
  execute_process(COMMAND ${RUNNER} "${program}" --version
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
  string(REGEX REPLACE "\r?\n$" "" line "${out}")
  if(NOT rc STREQUAL "0" OR NOT line STREQUAL "${name} ${VERSION}")
    list(APPEND failures "${name} --version: exit ${rc}, said \"${out}\" (expected \"${name} ${VERSION}\") ${err}")
  endif()
endforeach()
if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "\n  ${text}")
endif()
list(LENGTH PROGRAMS count)
message(STATUS "${count} programs said their version ${VERSION}")
