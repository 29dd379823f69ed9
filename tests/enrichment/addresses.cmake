# The machines a link from someone else's share may make this one ask.
vellora_add_qtest(tst_linkaddresspolicy SOURCES tst_linkaddresspolicy.cpp
  LIBS vellora_snapshot vellora_library vellora_test_seams TIMEOUT 300)
