# Drops intake and change tracking: the claim-by-rename scan of the drops
# folder, and the watchers that reload the library and start scans.
target_sources(vellora_library PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/Drops.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LibrarySync.cpp
  ${CMAKE_CURRENT_LIST_DIR}/StoreDrops.cpp
)
# The scan hands shared texts to the link parser and links to the link road.
target_link_libraries(vellora_library PUBLIC vellora_enrichment)
