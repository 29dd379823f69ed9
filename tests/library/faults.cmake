# The library core under a hostile world: lost data, half-written and
# unsaved drops, the end of the session, left-over files.
vellora_add_qtest(tst_libraryfaults
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_libraryfaults.cpp
  # The drops cases scan through the real store's side (StoreDrops).
  LIBS vellora_test_seams vellora_enrichment
  TIMEOUT 120)
target_compile_definitions(tst_libraryfaults PRIVATE STORE_HELPER="$<TARGET_FILE:store_helper>")
add_dependencies(tst_libraryfaults store_helper)

# The same through the built program: unwritable libraries, kill -9, hostile
# files and pictures, peak memory of each case's own process.
vellora_add_qtest(tst_hostilecommands
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_hostilecommands.cpp
  LIBS vellora_library
  TIMEOUT 300)
target_compile_definitions(tst_hostilecommands PRIVATE VELLORA_BINARY="$<TARGET_FILE:vellora>")
add_dependencies(tst_hostilecommands vellora)
