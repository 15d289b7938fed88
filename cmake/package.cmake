# The Debian package: `cpack -G DEB` in a build configured with
# -DDIALSCOPE_DEBIAN_PACKAGE=ON (scripts/package does both). It holds what
# `cmake --install` installs, plus the package's own files from data/debian/.
# Its dependencies are the shared libraries the programs link, as
# dpkg-shlibdeps finds them.
include(GNUInstallDirs)

option(DIALSCOPE_DEBIAN_PACKAGE "Install for the Debian package: its documentation files and Debian's paths" OFF)
if(DIALSCOPE_DEBIAN_PACKAGE)
  set(debian ${CMAKE_SOURCE_DIR}/data/debian)
  set(doc ${CMAKE_INSTALL_DATADIR}/doc/dialscope)
  install(FILES ${debian}/copyright DESTINATION ${doc})
  # The changelog, compressed without a time stamp so that the same sources
  # make the same package.
  configure_file(${debian}/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
  execute_process(COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/debian/changelog
    OUTPUT_FILE ${CMAKE_BINARY_DIR}/debian/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${CMAKE_BINARY_DIR}/debian/changelog.gz DESTINATION ${doc})
  # Each program's manual page, made by help2man from its --help and
  # --version. HOME=~ so that the default history path reads as the user's,
  # not the builder's; the programs run by name, as a user types them.
  find_program(DIALSCOPE_HELP2MAN help2man REQUIRED)
  set(dialscope_man "show a caller-ID box's call log in a window")
  set(dialscope-cli_man "download, watch and list a caller-ID box's calls without a window")
  set(dialscope-devsim_man "simulate a caller-ID box on a pseudo-terminal")
  set(pages "")
  foreach(program dialscope dialscope-cli dialscope-devsim)
    if(NOT TARGET ${program})
      continue()
    endif()
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${CMAKE_COMMAND} -E env --unset=XDG_DATA_HOME HOME=~ "PATH=$<TARGET_FILE_DIR:${program}>:$ENV{PATH}"
        ${DIALSCOPE_HELP2MAN} --no-info --no-discard-stderr "--name=${${program}_man}" --output=${page} ${program}
      COMMAND gzip -9nf ${page}
      DEPENDS ${program}
      VERBATIM)
    list(APPEND pages ${page}.gz)
  endforeach()
  add_custom_target(dialscope_man_pages ALL DEPENDS ${pages})
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dialscope)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Dialscope Dev <dev@dialscope.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "download the call log of a caller-ID box")
# The long description as it is shown, in lines of at most 80 characters.
set(CPACK_PACKAGE_DESCRIPTION "Dialscope downloads the call log stored in a caller-identification box
attached through a USB-to-serial adapter, shows each call and keeps every call
once in a call history. The window program, dialscope, finds the adapter by
itself. The console program, dialscope-cli, downloads and lists calls, runs as
a system service that watches for new calls (dialscope-watch.service) and hands
them to an MQTT broker or a command, and shows the history in a web browser.
dialscope-devsim simulates the box, to try the programs without one.")
# The paths as the files name them: /etc for the watcher's example
# configuration, /lib for the udev rule and the service, written through
# DESTDIR by the install rules.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
# As Debian's own packages: a third smaller than gzip.
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's X11 and Wayland plugins are not a library it links.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/data/debian/conffiles
  ${CMAKE_SOURCE_DIR}/data/debian/postinst
  ${CMAKE_SOURCE_DIR}/data/debian/prerm
  ${CMAKE_SOURCE_DIR}/data/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
