# The Windows window shell: its layout, window operations, handlers, saving
# and the test entry, on a real (hidden) window under Wine. Included from
# tests/win32/CMakeLists.txt.
add_executable(window_tests
  ${CMAKE_CURRENT_LIST_DIR}/window_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/shell_logic_test.cpp
  # The program's icon, so that the window class finds it as in the program.
  ${CMAKE_BINARY_DIR}/app/win32/dialscope.rc
)
target_link_libraries(window_tests PRIVATE dialscope_win32_shell dialscope_registry_memory gtest_main)
# Wine makes no window without an X display: give the tests their own
# virtual one when xvfb-run is there.
find_program(DIALSCOPE_XVFB_RUN xvfb-run)
if(DIALSCOPE_XVFB_RUN AND CMAKE_CROSSCOMPILING_EMULATOR)
  add_test(NAME win32.window_tests
    COMMAND ${DIALSCOPE_XVFB_RUN} -a ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:window_tests>)
else()
  add_test(NAME win32.window_tests COMMAND window_tests)
endif()
