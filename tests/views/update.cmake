# The update banner and settings section, on screen against a loopback feed.
find_package(Qt6 REQUIRED COMPONENTS Network Widgets)
vellora_add_qtest(tst_updatebanner
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_updatebanner.cpp
  LIBS vellora_views Qt6::Widgets Qt6::Network
  TIMEOUT 120)
target_compile_definitions(tst_updatebanner PRIVATE VELLORA_SCREENSHOTS="${CMAKE_CURRENT_BINARY_DIR}/screenshots")
