# The ways in without the main window. The bus ones need a session bus of
# their own: the test runs inside dbus-run-session, with the private home and
# offscreen platform every test gets.
find_package(Qt6 REQUIRED COMPONENTS DBus)
find_program(VELLORA_DBUS_RUN_SESSION dbus-run-session REQUIRED)
add_executable(tst_capture ${CMAKE_CURRENT_LIST_DIR}/tst_capture.cpp ${CMAKE_CURRENT_LIST_DIR}/CommandLineFixture.h)
target_link_libraries(tst_capture PRIVATE Qt6::Test Qt6::DBus vellora_app)
add_dependencies(tst_capture vellora)
target_compile_definitions(tst_capture PRIVATE VELLORA_BINARY="$<TARGET_FILE:vellora>")
set(_capture_home ${CMAKE_BINARY_DIR}/test-home/tst_capture)
add_test(NAME tst_capture COMMAND ${VELLORA_DBUS_RUN_SESSION} -- $<TARGET_FILE:tst_capture>)
set_tests_properties(tst_capture PROPERTIES
  TIMEOUT 180
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen;HOME=${_capture_home};XDG_CONFIG_HOME=${_capture_home}/config;XDG_DATA_HOME=${_capture_home}/data;XDG_CACHE_HOME=${_capture_home}/cache;XDG_RUNTIME_DIR=${_capture_home}/run;VELLORA_TEST_HOME=${_capture_home}")
add_custom_command(TARGET tst_capture POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_capture_home}/config ${_capture_home}/data ${_capture_home}/cache ${_capture_home}/run
  COMMAND chmod 700 ${_capture_home}/run)
