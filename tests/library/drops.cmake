# Drops intake and change tracking.
vellora_add_qtest(tst_drops SOURCES tst_drops.cpp LIBS vellora_test_seams vellora_library)
vellora_add_qtest(tst_librarysync SOURCES tst_librarysync.cpp LIBS vellora_test_seams vellora_library)
vellora_add_qtest(tst_storedrops SOURCES tst_storedrops.cpp LIBS vellora_test_seams vellora_enrichment)
