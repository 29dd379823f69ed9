# The grid screen, the contents of a section and the helpers around them.
vellora_add_qtest(tst_collectioncontents
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_collectioncontents.cpp ${CMAKE_CURRENT_LIST_DIR}/GridFixtures.h
  LIBS vellora_views
  TIMEOUT 60)
vellora_add_qtest(tst_gridscreen
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_gridscreen.cpp ${CMAKE_CURRENT_LIST_DIR}/GridFixtures.h
  LIBS vellora_views
  TIMEOUT 120)
