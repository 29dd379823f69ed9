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

# Which bytes are a picture the import takes: a library of its own, which the
# share program links as well.
add_library(vellora_picture_intake STATIC
  ${CMAKE_CURRENT_LIST_DIR}/PictureIntake.h
  ${CMAKE_CURRENT_LIST_DIR}/PictureIntake.cpp)
target_include_directories(vellora_picture_intake PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(vellora_picture_intake PUBLIC vellora_imageio)
target_link_libraries(vellora_library PUBLIC vellora_picture_intake)
