# The grid screen, the contents of a section and the helpers around them.
vellora_add_qtest(tst_collectioncontents
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_collectioncontents.cpp ${CMAKE_CURRENT_LIST_DIR}/GridFixtures.h
  LIBS vellora_test_seams vellora_views
  TIMEOUT 60)
vellora_add_qtest(tst_gridscreen
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_gridscreen.cpp ${CMAKE_CURRENT_LIST_DIR}/GridFixtures.h
  LIBS vellora_test_seams vellora_views
  TIMEOUT 120)
# The file manager's call needs a session bus; the test brings its own
# (dbus-run-session), in the private home every test gets.
find_package(Qt6 REQUIRED COMPONENTS DBus)
vellora_add_qtest(tst_sharing
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_sharing.cpp ${CMAKE_CURRENT_LIST_DIR}/GridFixtures.h
  LIBS Qt6::DBus vellora_test_seams vellora_views
  TIMEOUT 60
  BUS)
