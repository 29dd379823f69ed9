# The ways in without the main window. The bus ones need a session bus of
# their own: the test runs inside dbus-run-session, with the private home and
# offscreen platform every test gets.
find_package(Qt6 REQUIRED COMPONENTS DBus)
vellora_add_qtest(tst_capture
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_capture.cpp ${CMAKE_CURRENT_LIST_DIR}/CommandLineFixture.h
  LIBS Qt6::DBus vellora_app
  TIMEOUT 180
  BUS)
add_dependencies(tst_capture vellora)
target_compile_definitions(tst_capture PRIVATE VELLORA_BINARY="$<TARGET_FILE:vellora>")
