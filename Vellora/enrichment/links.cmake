# The link road: link metadata, the rendered cover and the
# pipeline that turns an address into an enriched link item. The off-screen
# page snapshot needs QtWebEngine (and so Widgets); it lives in a library of
# its own, vellora_snapshot, so this core library stays free of widgets.
find_package(Qt6 REQUIRED COMPONENTS Gui Network)
pkg_check_modules(GUMBO REQUIRED IMPORTED_TARGET gumbo)

target_sources(vellora_enrichment PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/LinkCover.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LinkMetadata.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LinkPipeline.cpp
)
target_link_libraries(vellora_enrichment PUBLIC vellora_library Qt6::Gui Qt6::Network PRIVATE PkgConfig::GUMBO)
target_sources(vellora_enrichment PRIVATE ${CMAKE_CURRENT_LIST_DIR}/PageSnapshotter.cpp)

# The web view side. Links Widgets and WebEngine; only the program and the
# tests that render real pages use it.
find_package(Qt6 REQUIRED COMPONENTS Widgets WebEngineWidgets)
add_library(vellora_snapshot STATIC ${CMAKE_CURRENT_LIST_DIR}/PageSnapshot.cpp)
target_link_libraries(vellora_snapshot PUBLIC vellora_enrichment Qt6::Widgets Qt6::WebEngineWidgets)
