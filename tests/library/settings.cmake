vellora_add_qtest(tst_settingssync
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_settingssync.cpp
  LIBS vellora_test_seams vellora_library)
vellora_add_qtest(tst_keyvaluestore
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_keyvaluestore.cpp
  LIBS vellora_platform)
