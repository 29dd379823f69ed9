vellora_add_qtest(tst_records
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_records.cpp
  LIBS vellora_library
  ENV VELLORA_RECORDS_FIXTURES=${CMAKE_CURRENT_LIST_DIR}/fixtures)
vellora_add_qtest(tst_rules
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_rules.cpp
  LIBS vellora_library)
