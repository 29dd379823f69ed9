# The settings mirror between the user defaults and the synced key-value store.
target_sources(vellora_library PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/SettingsSync.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SettingsSync.h
)
