find_package(Qt6 REQUIRED COMPONENTS Gui Network)
vellora_add_qtest(tst_linkparser SOURCES tst_linkparser.cpp LIBS vellora_enrichment)
vellora_add_qtest(tst_linkcover SOURCES tst_linkcover.cpp LIBS vellora_enrichment Qt6::Gui)
vellora_add_qtest(tst_pagesnapshot SOURCES tst_pagesnapshot.cpp LIBS vellora_snapshot TIMEOUT 240)
vellora_add_qtest(tst_linkmetadata SOURCES tst_linkmetadata.cpp LIBS vellora_enrichment Qt6::Gui Qt6::Network)
vellora_add_qtest(tst_linkpipeline SOURCES tst_linkpipeline.cpp LIBS vellora_snapshot vellora_library vellora_test_seams
  TIMEOUT 300)

# "--add-link" of the built program against hostile loopback pages, side by side.
vellora_add_qtest(tst_hostilepages SOURCES tst_hostilepages.cpp LIBS Qt6::Network TIMEOUT 300)
add_dependencies(tst_hostilepages vellora)
target_compile_definitions(tst_hostilepages PRIVATE VELLORA_BINARY="$<TARGET_FILE:vellora>")

# The process tree's memory while hostile pages are enriched.
vellora_add_qtest(tst_snapshotmemory SOURCES tst_snapshotmemory.cpp ProcessTreeMemory.h
  LIBS vellora_snapshot vellora_library TIMEOUT 300)

# Insights for the links saved while no model was set.
vellora_add_qtest(tst_insightbackfill SOURCES tst_insightbackfill.cpp FakeModelServer.h
  LIBS vellora_enrichment vellora_library nlohmann_json::nlohmann_json TIMEOUT 120)
