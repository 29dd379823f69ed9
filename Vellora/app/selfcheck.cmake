# The self-check mode (SelfCheck.cpp is in the program's list) and the
# pictures it imports.
target_sources(vellora_app PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/DesktopPictures.h
  ${CMAKE_CURRENT_LIST_DIR}/DesktopPictures.cpp
)
target_link_libraries(vellora_app PUBLIC zezevaveri vellora_enrichment)
