# The real window's habits: text from outside shown literally, the standard
# edit commands, and one dark look for its menus and dialogs.
foreach(_look untrustedtext windowhabits)
  vellora_add_qtest(tst_${_look}
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_${_look}.cpp ${CMAKE_CURRENT_LIST_DIR}/MarkupFixture.h
    LIBS vellora_app
    TIMEOUT 120)
  target_include_directories(tst_${_look} PRIVATE ${CMAKE_SOURCE_DIR}/tests/views)
endforeach()
# The share program's status window and a language model of the test's own.
target_link_libraries(tst_untrustedtext PRIVATE vellora_share_view nlohmann_json::nlohmann_json)
target_include_directories(tst_untrustedtext PRIVATE ${CMAKE_SOURCE_DIR}/tests/enrichment)
