# The update banner and the updater's settings section.
target_sources(vellora_views PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/UpdateBanner.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UpdateBanner.h)
target_link_libraries(vellora_views PUBLIC vellora_update)
