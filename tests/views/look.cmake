# Text from outside shown literally, wherever Qt could read it as markup.
vellora_add_qtest(tst_plaintext
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_plaintext.cpp ${CMAKE_CURRENT_LIST_DIR}/ShownText.h
  LIBS vellora_views
  TIMEOUT 60)
