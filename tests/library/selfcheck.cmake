# Stores with a settings scope of their own (the self-check's throw-away stores).
vellora_add_qtest(tst_storesettings
  SOURCES tst_storesettings.cpp
  LIBS vellora_library)
