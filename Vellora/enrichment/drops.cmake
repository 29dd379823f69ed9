# The drops scan and change tracking on the real store: the scan hands shared
# links to the link road, so the glue lives here and not in the library.
target_sources(vellora_enrichment PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/StoreDrops.h
  ${CMAKE_CURRENT_LIST_DIR}/StoreDrops.cpp
)
