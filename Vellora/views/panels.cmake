# The window's panels: header bar, page title, sidebar and plus menu, the
# smart-folder editor, the inspector, the settings, the add-link sheet and
# the load-error banner, with the painted glass they share.
target_sources(vellora_views PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/Glass.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HeaderBar.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PageTitle.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PlusMenu.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Sidebar.cpp
)
