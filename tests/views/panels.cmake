# The window's panels, each driven through its widgets; screenshots land in
# the build folder's screenshots/.
set(_panel_shots ${CMAKE_BINARY_DIR}/screenshots)
foreach(_panel headerbar sidebar smartfoldereditor inspector settingsview sheets)
  vellora_add_qtest(tst_${_panel}
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_${_panel}.cpp
    LIBS vellora_views
    TIMEOUT 60)
  target_compile_definitions(tst_${_panel} PRIVATE SCREENSHOT_DIR="${_panel_shots}")
  target_include_directories(tst_${_panel} PRIVATE ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_SOURCE_DIR}/tests/enrichment)
endforeach()
# The model's rest is met in the panels and in the real main window.
vellora_add_qtest(tst_modelrest
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_modelrest.cpp
  LIBS vellora_app
  TIMEOUT 60)
target_compile_definitions(tst_modelrest PRIVATE SCREENSHOT_DIR="${_panel_shots}")
target_include_directories(tst_modelrest PRIVATE ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_SOURCE_DIR}/tests/enrichment
                                                 ${CMAKE_SOURCE_DIR}/tests/app)
# The settings section puts back the ubiquity backend its cases install.
target_link_libraries(tst_settingsview PRIVATE vellora_test_seams)
