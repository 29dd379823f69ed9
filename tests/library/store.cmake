# Library location, file access, the store and its edits.
vellora_add_qtest(tst_librarylocation
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_librarylocation.cpp
  LIBS vellora_library)
vellora_add_qtest(tst_libraryfileaccess
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_libraryfileaccess.cpp
  LIBS vellora_library)
vellora_add_qtest(tst_librarystore
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_librarystore.cpp
  LIBS vellora_library)
vellora_add_qtest(tst_librarystoreedits
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_librarystoreedits.cpp
  LIBS vellora_library)
