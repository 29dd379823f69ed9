# Which machines the link road may ask for a link of someone else's.
find_package(Qt6 REQUIRED COMPONENTS Network)
target_sources(vellora_enrichment PRIVATE ${CMAKE_CURRENT_LIST_DIR}/AddressPolicy.cpp)
target_link_libraries(vellora_enrichment PUBLIC Qt6::Network)
