# The ways in without the main window: tray icon and drop shelf, screenshot
# folder, "Add to Vellora" on the bus and on the command line.
find_package(Qt6 REQUIRED COMPONENTS DBus)
target_sources(vellora_app PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/AddToLibraryMode.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AddToLibraryMode.h
  ${CMAKE_CURRENT_LIST_DIR}/Capture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Capture.h
  ${CMAKE_CURRENT_LIST_DIR}/ServiceProvider.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ServiceProvider.h)
target_link_libraries(vellora_app PUBLIC vellora_views Qt6::DBus)
