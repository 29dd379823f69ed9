# Drops intake and change tracking: the claim-by-rename scan of the drops
# folder, and the watchers that reload the library and start scans.
target_sources(vellora_library PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/Drops.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LibrarySync.cpp
)
# The scan hands shared texts to the link parser.
target_link_libraries(vellora_library PUBLIC vellora_enrichment)
