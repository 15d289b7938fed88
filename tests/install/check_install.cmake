# cmake -DBUILD_DIR=... -DPREFIX=... -DWITH_QT=ON|OFF -DUDEV_RULES_DIR=... -P check_install.cmake
#
# Runs `cmake --install` into PREFIX and checks the installed tree: the
# programs, the desktop entry (through desktop-file-validate when it is
# there), the icon, and the udev rule for the adapter.
cmake_minimum_required(VERSION 3.20)

set(failures "")
macro(fail what)
  list(APPEND failures "${what}")
endmacro()

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${rc}):\n${out}\n${err}")
endif()

if(IS_ABSOLUTE "${UDEV_RULES_DIR}")
  message(STATUS "udev rules go to ${UDEV_RULES_DIR}, outside the prefix: not checked")
  set(rule "")
else()
  set(rule "${PREFIX}/${UDEV_RULES_DIR}/60-dialscope.rules")
endif()

# --- the programs -------------------------------------------------------
set(programs dialscope-devsim dialscope-cli)
if(WITH_QT)
  list(APPEND programs dialscope)
endif()
foreach(program ${programs})
  execute_process(COMMAND test -x "${PREFIX}/bin/${program}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    fail("bin/${program} missing or not executable")
  endif()
endforeach()
# Nothing else: the test build of the program (dialscope-test-entry) stays
# in the build tree.
file(GLOB installed RELATIVE "${PREFIX}/bin" "${PREFIX}/bin/*")
list(SORT installed)
set(shipped ${programs})
list(SORT shipped)
if(NOT installed STREQUAL shipped)
  fail("bin/ holds ${installed}, not just ${shipped}")
endif()
# The installed simulator starts on its own (no path into the build tree).
execute_process(COMMAND "${PREFIX}/bin/dialscope-devsim" --help
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out MATCHES "usage: dialscope-devsim")
  fail("bin/dialscope-devsim --help did not run (${rc}): ${err}")
endif()

execute_process(COMMAND "${PREFIX}/bin/dialscope-cli" --help
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out MATCHES "download" OR NOT out MATCHES "watch" OR NOT out MATCHES "history")
  fail("bin/dialscope-cli --help did not run or lacks its commands (${rc}): ${err}")
endif()

# --- the watcher's service ----------------------------------------------
set(unit "${PREFIX}/lib/systemd/system/dialscope-watch.service")
if(NOT EXISTS "${unit}")
  fail("lib/systemd/system/dialscope-watch.service missing")
else()
  file(READ "${unit}" text)
  if(NOT text MATCHES "ExecStart=${PREFIX}/bin/dialscope-cli " OR NOT text MATCHES "DynamicUser=yes"
     OR NOT text MATCHES "SupplementaryGroups=dialout" OR NOT text MATCHES "StateDirectory=dialscope")
    fail("dialscope-watch.service does not run the installed dialscope-cli as a dynamic user in dialout")
  endif()
  if(NOT text MATCHES "watch --config ${PREFIX}/etc/dialscope/watch.conf\n")
    fail("dialscope-watch.service does not read ${PREFIX}/etc/dialscope/watch.conf")
  endif()
  if(NOT EXISTS "${PREFIX}/etc/dialscope/watch.conf")
    fail("etc/dialscope/watch.conf (the service's example configuration) missing")
  endif()
  if(NOT text MATCHES "\nLoadCredential=mqtt-password:${PREFIX}/etc/dialscope/mqtt-password\n")
    fail("dialscope-watch.service does not hand over ${PREFIX}/etc/dialscope/mqtt-password as a credential")
  endif()
  # Settings that would refuse an adapter plugged in after the service started:
  # any device allow list (ProtectClock= implies one) is worked out at start.
  if(text MATCHES "\n(DevicePolicy=(closed|strict)|DeviceAllow=|PrivateDevices=(yes|true|on|1)|ProtectClock=(yes|true|on|1))")
    fail("dialscope-watch.service filters devices (${CMAKE_MATCH_1}): a later adapter would be refused")
  endif()
  # systemd need not be running (it is not PID 1 in containers) to check a unit.
  find_program(SYSTEMD_ANALYZE systemd-analyze)
  if(NOT SYSTEMD_ANALYZE)
    fail("systemd-analyze not found (package systemd, see scripts/deps): the service is not checked")
  else()
    execute_process(COMMAND "${SYSTEMD_ANALYZE}" verify "${unit}"
      RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    # A line it ignores (a misspelt or unknown setting) is only a warning to it.
    if(NOT rc EQUAL 0 OR err MATCHES "dialscope-watch\\.service:[0-9]+: ")
      fail("systemd-analyze verify dialscope-watch.service failed: ${out}${err}")
    endif()
    # How much the service's confinement leaves open, from 0 (nothing) to 10.
    execute_process(COMMAND "${SYSTEMD_ANALYZE}" security --offline=true --no-pager "${unit}"
      RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT out MATCHES "Overall exposure level for dialscope-watch.service: ([0-9]+)\\.([0-9])")
      fail("systemd-analyze security gave no exposure level for dialscope-watch.service (${rc}): ${out}${err}")
    else()
      set(level "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}")
      math(EXPR tenths "${CMAKE_MATCH_1} * 10 + ${CMAKE_MATCH_2}")
      if(tenths GREATER 25)
        string(REGEX MATCHALL "\n[^\n]*✗[^\n]*" open "${out}")
        string(REPLACE ";" "" open "${open}")
        fail("dialscope-watch.service is rated ${level}, above 2.5; left open:${open}")
      endif()
    endif()
  endif()
endif()

# --- desktop entry and icon ---------------------------------------------
if(WITH_QT)
  set(desktop "${PREFIX}/share/applications/dialscope.desktop")
  if(NOT EXISTS "${desktop}")
    fail("share/applications/dialscope.desktop missing")
  else()
    file(STRINGS "${desktop}" entry)
    foreach(line "[Desktop Entry]" "Type=Application" "Name=Dialscope" "Exec=dialscope" "Icon=dialscope")
      list(FIND entry "${line}" at)
      if(at LESS 0)
        fail("dialscope.desktop has no line \"${line}\"")
      endif()
    endforeach()
    file(READ "${desktop}" text)
    if(NOT text MATCHES "\nCategories=([^\n]*;)?Utility;")
      fail("dialscope.desktop is not in the Utility category")
    endif()
    find_program(VALIDATE desktop-file-validate)
    if(VALIDATE)
      execute_process(COMMAND "${VALIDATE}" "${desktop}"
        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
      if(NOT rc EQUAL 0)
        fail("desktop-file-validate refused dialscope.desktop:\n${out}${err}")
      endif()
    else()
      message(STATUS "desktop-file-validate not found: desktop entry not validated")
    endif()
  endif()

  # A PNG whose header says 32 x 32, where the entry's Icon=dialscope is
  # looked up.
  set(icon "${PREFIX}/share/icons/hicolor/32x32/apps/dialscope.png")
  if(NOT EXISTS "${icon}")
    fail("share/icons/hicolor/32x32/apps/dialscope.png missing")
  else()
    file(READ "${icon}" head LIMIT 24 HEX)
    if(NOT head MATCHES "^89504e470d0a1a0a0000000d494844520000002000000020$")
      fail("dialscope.png is not a 32 x 32 PNG (header ${head})")
    endif()
  endif()
endif()

# --- udev rule ----------------------------------------------------------
if(rule)
  if(NOT EXISTS "${rule}")
    fail("${UDEV_RULES_DIR}/60-dialscope.rules missing")
  else()
    # One rule line (not a comment) must carry all of it: a rule split over
    # two lines would tag one device and keep ModemManager off another.
    file(STRINGS "${rule}" lines)
    set(found FALSE)
    foreach(line IN LISTS lines)
      if(line MATCHES "^[ \t]*#")
        continue()
      endif()
      if(line MATCHES "SUBSYSTEM==\"tty\""
         AND line MATCHES "ATTRS{idVendor}==\"067b\""
         AND line MATCHES "ATTRS{idProduct}==\"2303\""
         AND line MATCHES "TAG\\+=\"uaccess\""
         AND line MATCHES "ENV{ID_MM_DEVICE_IGNORE}=\"1\"")
        set(found TRUE)
      endif()
    endforeach()
    if(NOT found)
      fail("60-dialscope.rules has no tty rule for 067b:2303 with uaccess and ID_MM_DEVICE_IGNORE")
    endif()
  endif()
endif()

# --- a staged install, as a package is made --------------------------------
# With DESTDIR every file lands below it, /etc's example too, and nowhere else.
set(stage "${PREFIX}-stage")
file(REMOVE_RECURSE "${stage}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E env "DESTDIR=${stage}" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix /usr
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(GLOB top RELATIVE "${stage}" "${stage}/*")
if(NOT rc EQUAL 0 OR NOT top STREQUAL "etc;usr" OR NOT EXISTS "${stage}/etc/dialscope/watch.conf"
   OR NOT EXISTS "${stage}/usr/bin/dialscope-cli")
  fail("DESTDIR=${stage} cmake --install --prefix /usr (${rc}) made ${top}, not etc/dialscope/watch.conf and usr/: ${err}")
endif()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "installed tree in ${PREFIX}:\n  ${text}")
endif()
message(STATUS "installed tree in ${PREFIX} is complete")
