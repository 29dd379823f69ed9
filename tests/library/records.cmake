vellora_add_qtest(tst_records
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_records.cpp
  LIBS vellora_library)
target_compile_definitions(tst_records PRIVATE VELLORA_RECORDS_FIXTURES="${CMAKE_CURRENT_LIST_DIR}/fixtures")
# The summaries join phrases with the locale's list pattern: pin the locale.
vellora_add_qtest(tst_rules
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_rules.cpp
  LIBS vellora_library
  ENV LC_ALL=en_US.UTF-8 LANG=en_US.UTF-8)
# The fast road for library.json against the general one.
vellora_add_qtest(tst_librarycodec
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_librarycodec.cpp
  LIBS vellora_library)
target_compile_definitions(tst_librarycodec PRIVATE VELLORA_RECORDS_FIXTURES="${CMAKE_CURRENT_LIST_DIR}/fixtures")
