# Libraries of the Windows build that the Linux build takes from the system.
#
# SQLite: the single-file source made from Debian's own sqlite3 source package
# by scripts/sqlite-windows (scripts/test-windows runs it), compiled here with
# the options the call history relies on and the behaviour-changing ones
# Debian's libsqlite3 is built with, so that a history behaves the same on
# both systems.
set(DIALSCOPE_SQLITE_SOURCE ${CMAKE_BINARY_DIR}/sqlite CACHE PATH
  "Folder holding sqlite3.c and sqlite3.h (made by scripts/sqlite-windows)")
if(NOT EXISTS ${DIALSCOPE_SQLITE_SOURCE}/sqlite3.c OR NOT EXISTS ${DIALSCOPE_SQLITE_SOURCE}/sqlite3.h)
  message(FATAL_ERROR "SQLite's source is missing from ${DIALSCOPE_SQLITE_SOURCE}. "
    "Make it with: scripts/sqlite-windows ${DIALSCOPE_SQLITE_SOURCE}")
endif()
enable_language(C)
add_library(dialscope_sqlite3 STATIC ${DIALSCOPE_SQLITE_SOURCE}/sqlite3.c)
target_include_directories(dialscope_sqlite3 SYSTEM PUBLIC ${DIALSCOPE_SQLITE_SOURCE})
target_compile_definitions(dialscope_sqlite3 PRIVATE
  # What the history uses: the trigram search index, JSON (built in),
  # URIs (immutable reads), several threads on separate connections.
  SQLITE_ENABLE_FTS5
  SQLITE_THREADSAFE=1
  SQLITE_USE_URI=1
  # As Debian builds it: deleted calls are overwritten, triggers may
  # recurse, LIKE never matches a blob, temporary tables in memory unless
  # asked otherwise, and the same limits.
  SQLITE_SECURE_DELETE
  SQLITE_DEFAULT_RECURSIVE_TRIGGERS=1
  SQLITE_LIKE_DOESNT_MATCH_BLOBS
  SQLITE_TEMP_STORE=1
  SQLITE_MAX_DEFAULT_PAGE_SIZE=32768
  SQLITE_MAX_SCHEMA_RETRY=25
  SQLITE_MAX_VARIABLE_NUMBER=250000
  SQLITE_OMIT_LOOKASIDE
  SQLITE_ENABLE_FTS3
  SQLITE_ENABLE_FTS3_PARENTHESIS
  SQLITE_ENABLE_FTS4
  SQLITE_ENABLE_RTREE
  SQLITE_ENABLE_MATH_FUNCTIONS
  SQLITE_SOUNDEX
  SQLITE_ENABLE_DBSTAT_VTAB
  SQLITE_ENABLE_COLUMN_METADATA
  SQLITE_ENABLE_UNLOCK_NOTIFY
  # No extension is ever loaded by the program.
  SQLITE_OMIT_LOAD_EXTENSION)
# SQLite's own code is not ours to warn about.
target_compile_options(dialscope_sqlite3 PRIVATE -w)

# Header-only libraries from Debian's packages (nlohmann-json3-dev,
# libcli11-dev, libboost1.74-dev for Beast and Asio): the cross-compiler must
# not search /usr/include as a whole, so a folder holding links to just these
# is its include path.
set(DIALSCOPE_HOST_HEADERS ${CMAKE_BINARY_DIR}/host-headers)
foreach(dir nlohmann CLI boost)
  if(NOT EXISTS /usr/include/${dir})
    message(FATAL_ERROR "/usr/include/${dir} is missing: install nlohmann-json3-dev, libcli11-dev and "
      "libboost1.74-dev (scripts/deps)")
  endif()
  file(MAKE_DIRECTORY ${DIALSCOPE_HOST_HEADERS})
  file(CREATE_LINK /usr/include/${dir} ${DIALSCOPE_HOST_HEADERS}/${dir} SYMBOLIC)
endforeach()
add_library(dialscope_host_headers INTERFACE)
target_include_directories(dialscope_host_headers SYSTEM INTERFACE ${DIALSCOPE_HOST_HEADERS})
add_library(nlohmann_json::nlohmann_json ALIAS dialscope_host_headers)
add_library(CLI11::CLI11 ALIAS dialscope_host_headers)

# libsodium (the web password's hash, the sessions' ids): a static library
# made from Debian's own source package by scripts/sodium-windows.
set(DIALSCOPE_SODIUM_PREFIX ${CMAKE_BINARY_DIR}/sodium CACHE PATH
  "Where scripts/sodium-windows installed libsodium for Windows")
if(NOT EXISTS ${DIALSCOPE_SODIUM_PREFIX}/lib/libsodium.a)
  message(FATAL_ERROR "libsodium for Windows is missing from ${DIALSCOPE_SODIUM_PREFIX}. "
    "Make it with: scripts/sodium-windows ${DIALSCOPE_SODIUM_PREFIX}")
endif()
add_library(dialscope_sodium STATIC IMPORTED)
set_target_properties(dialscope_sodium PROPERTIES
  IMPORTED_LOCATION ${DIALSCOPE_SODIUM_PREFIX}/lib/libsodium.a
  INTERFACE_INCLUDE_DIRECTORIES ${DIALSCOPE_SODIUM_PREFIX}/include
  # Linked in, not imported from a DLL.
  INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC=1)
