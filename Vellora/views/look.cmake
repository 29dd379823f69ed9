# What every view shares in how it shows things: the dark look of all
# windows and popups, and text from outside shown literally.
target_sources(vellora_views PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/PlainText.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PlainText.h
  ${CMAKE_CURRENT_LIST_DIR}/WindowLook.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WindowLook.h)
