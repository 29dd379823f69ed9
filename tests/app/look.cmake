# The real window's habits: text from outside shown literally, the standard
# edit commands, and one dark look for its menus and dialogs.
foreach(_look untrustedtext windowhabits)
  vellora_add_qtest(tst_${_look}
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_${_look}.cpp ${CMAKE_CURRENT_LIST_DIR}/MarkupFixture.h
    LIBS vellora_app
    TIMEOUT 120)
  target_include_directories(tst_${_look} PRIVATE ${CMAKE_SOURCE_DIR}/tests/views)
endforeach()
