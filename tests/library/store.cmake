# Library location, file access, the store and its edits.
vellora_add_qtest(tst_librarylocation
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_librarylocation.cpp
  LIBS vellora_test_seams vellora_library)
vellora_add_qtest(tst_libraryfileaccess
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_libraryfileaccess.cpp
  LIBS vellora_library)
target_compile_definitions(tst_libraryfileaccess PRIVATE VELLORA_RECORDS_FIXTURES="${CMAKE_CURRENT_LIST_DIR}/fixtures")
vellora_add_qtest(tst_librarystore
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_librarystore.cpp
  LIBS vellora_test_seams vellora_library)
vellora_add_qtest(tst_librarystoreedits
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_librarystoreedits.cpp
  LIBS vellora_test_seams vellora_library)
# What belongs to each section and the counts that edits keep.
vellora_add_qtest(tst_sections
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_sections.cpp
  LIBS vellora_library)
add_executable(store_helper ${CMAKE_CURRENT_LIST_DIR}/store_helper.cpp)
target_link_libraries(store_helper PRIVATE vellora_test_support vellora_library)
vellora_add_qtest(tst_libraryprocesses
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_libraryprocesses.cpp
  LIBS vellora_library
  TIMEOUT 120)
target_compile_definitions(tst_libraryprocesses PRIVATE STORE_HELPER="$<TARGET_FILE:store_helper>")
add_dependencies(tst_libraryprocesses store_helper)
vellora_add_qtest(tst_storeplatform
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_storeplatform.cpp
  LIBS vellora_test_seams vellora_library)
vellora_add_qtest(tst_librarymerge
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_librarymerge.cpp
  LIBS vellora_library)
vellora_add_qtest(tst_librarywriter
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_librarywriter.cpp
  LIBS vellora_test_seams vellora_library
  TIMEOUT 120)
