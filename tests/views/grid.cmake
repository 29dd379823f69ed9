# The grid screen, the contents of a section and the helpers around them.
vellora_add_qtest(tst_collectioncontents
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_collectioncontents.cpp ${CMAKE_CURRENT_LIST_DIR}/GridFixtures.h
  LIBS vellora_views
  TIMEOUT 60)
vellora_add_qtest(tst_gridscreen
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_gridscreen.cpp ${CMAKE_CURRENT_LIST_DIR}/GridFixtures.h
  LIBS vellora_views
  TIMEOUT 120)
# The file manager's call needs a session bus; the test brings its own
# (dbus-run-session), in the private home every test gets.
find_package(Qt6 REQUIRED COMPONENTS DBus)
find_program(VELLORA_DBUS_RUN_SESSION dbus-run-session REQUIRED)
add_executable(tst_sharing ${CMAKE_CURRENT_LIST_DIR}/tst_sharing.cpp ${CMAKE_CURRENT_LIST_DIR}/GridFixtures.h)
target_link_libraries(tst_sharing PRIVATE Qt6::Test Qt6::DBus vellora_views)
set(_sharing_home ${CMAKE_BINARY_DIR}/test-home/tst_sharing)
add_test(NAME tst_sharing COMMAND ${VELLORA_DBUS_RUN_SESSION} -- $<TARGET_FILE:tst_sharing>)
set_tests_properties(tst_sharing PROPERTIES
  TIMEOUT 60
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen;HOME=${_sharing_home};XDG_CONFIG_HOME=${_sharing_home}/config;XDG_DATA_HOME=${_sharing_home}/data;XDG_CACHE_HOME=${_sharing_home}/cache;XDG_RUNTIME_DIR=${_sharing_home}/run;VELLORA_TEST_HOME=${_sharing_home}")
add_custom_command(TARGET tst_sharing POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_sharing_home}/config ${_sharing_home}/data ${_sharing_home}/cache ${_sharing_home}/run
  COMMAND chmod 700 ${_sharing_home}/run)
