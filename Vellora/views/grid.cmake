# The grid screen and what it shares with the other views: the contents of a
# section, the drop/paste import and the permanent-delete alert, the stage
# overlay with live text, Quick Look and the Share menu.
target_sources(vellora_views PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/Background.h
  ${CMAKE_CURRENT_LIST_DIR}/CollectionContents.cpp
  ${CMAKE_CURRENT_LIST_DIR}/GridScreen.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LiveText.cpp
  ${CMAKE_CURRENT_LIST_DIR}/QuickLook.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ShareMenu.cpp
  ${CMAKE_CURRENT_LIST_DIR}/StageOverlay.cpp)
