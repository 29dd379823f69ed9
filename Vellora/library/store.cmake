# Library location and migration, file access (coordination, backups,
# conflict copies), and the store with its edits and its sections.
target_sources(vellora_library PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/SafeNames.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LibraryLocation.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LibraryFileAccess.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LibraryStore.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LibraryStoreEdits.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Sections.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LibraryWriter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LibraryMerge.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UnlistedFiles.cpp
)
