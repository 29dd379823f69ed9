# Media files: file import, thumbnails, covers, export, the storage cap and
# the import of another library folder.
target_sources(vellora_library PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/Media.h
  ${CMAKE_CURRENT_LIST_DIR}/Media.cpp
  ${CMAKE_CURRENT_LIST_DIR}/MediaImport.h
  ${CMAKE_CURRENT_LIST_DIR}/MediaImport.cpp
  ${CMAKE_CURRENT_LIST_DIR}/OldLibrary.h
  ${CMAKE_CURRENT_LIST_DIR}/OldLibrary.cpp
  ${CMAKE_CURRENT_LIST_DIR}/StorageCap.h
  ${CMAKE_CURRENT_LIST_DIR}/StorageCap.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LibraryStoreMedia.h
  ${CMAKE_CURRENT_LIST_DIR}/LibraryStoreMedia.cpp
)
find_package(Qt6 REQUIRED COMPONENTS Gui)
target_link_libraries(vellora_library PUBLIC Qt6::Gui)
