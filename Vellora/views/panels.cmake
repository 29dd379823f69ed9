# The window's panels: header bar, page title, sidebar and plus menu, the
# smart-folder editor, the inspector, the settings, the add-link sheet and
# the load-error banner, with the painted glass they share.
target_sources(vellora_views PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/Glass.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HeaderBar.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PageTitle.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PlusMenu.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Sidebar.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SidebarAccessible.cpp
)
target_sources(vellora_views PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/RuleRows.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SmartFolderEditor.cpp
)
target_sources(vellora_views PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/TagEdits.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Inspector.cpp
)
target_sources(vellora_views PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/SettingsView.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AddLinkSheet.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LoadErrorBanner.cpp
)
