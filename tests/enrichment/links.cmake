find_package(Qt6 REQUIRED COMPONENTS Gui Network)
vellora_add_qtest(tst_linkparser SOURCES tst_linkparser.cpp LIBS vellora_enrichment)
vellora_add_qtest(tst_linkcover SOURCES tst_linkcover.cpp LIBS vellora_enrichment Qt6::Gui)
vellora_add_qtest(tst_pagesnapshot SOURCES tst_pagesnapshot.cpp LoopbackHttpServer.h LIBS vellora_snapshot TIMEOUT 240)
