# Drops intake and change tracking: the claim-by-rename scan of the drops
# folder, and the watchers that reload the library and start scans. What a
# scan does with a link is behind DropsLibrary; the store's side of it
# (enrichment/StoreDrops) sits above, where the link road is.
target_sources(vellora_library PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/Drops.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LibrarySync.cpp
)
