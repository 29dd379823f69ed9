# Link addresses and tag lists as every entry point accepts them (typed,
# pasted, dropped, shared, remote records): pure text rules, no network.
target_sources(vellora_library PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/LinkParser.h
  ${CMAKE_CURRENT_LIST_DIR}/LinkParser.cpp
)
