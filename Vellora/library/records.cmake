# The library's records, their strict decoding and the written form of
# library.json; smart-folder rules and palette colour tests.
target_sources(vellora_library PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/Board.h
  ${CMAKE_CURRENT_LIST_DIR}/CodingError.h
  ${CMAKE_CURRENT_LIST_DIR}/CodingSupport.h
  ${CMAKE_CURRENT_LIST_DIR}/CodingSupport.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CompactText.h
  ${CMAKE_CURRENT_LIST_DIR}/Item.h
  ${CMAKE_CURRENT_LIST_DIR}/JsonWriter.h
  ${CMAKE_CURRENT_LIST_DIR}/JsonWriter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LibraryCodec.h
  ${CMAKE_CURRENT_LIST_DIR}/LibraryCodec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LibraryFile.h
  ${CMAKE_CURRENT_LIST_DIR}/LinkInsight.h
  ${CMAKE_CURRENT_LIST_DIR}/LinkInsight.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Palette.h
  ${CMAKE_CURRENT_LIST_DIR}/Parallel.h
  ${CMAKE_CURRENT_LIST_DIR}/Palette.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Records.h
  ${CMAKE_CURRENT_LIST_DIR}/Records.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Rule.h
  ${CMAKE_CURRENT_LIST_DIR}/Rule.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SmartFolder.h
)
# library.json grows with the library: simdjson reads it.
find_package(simdjson REQUIRED)
target_link_libraries(vellora_library PRIVATE simdjson::simdjson)
