# The link road: the address parser, link metadata, the rendered cover and the
# pipeline that turns an address into an enriched link item. The off-screen
# page snapshot needs QtWebEngine (and so Widgets); it lives in a library of
# its own, vellora_snapshot, so this core library stays free of widgets.
find_package(Qt6 REQUIRED COMPONENTS Gui Network)
pkg_check_modules(GUMBO REQUIRED IMPORTED_TARGET gumbo)

target_sources(vellora_enrichment PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/LinkParser.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LinkCover.cpp
)
target_link_libraries(vellora_enrichment PUBLIC Qt6::Gui Qt6::Network PRIVATE PkgConfig::GUMBO)
