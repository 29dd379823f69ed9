# Library core: the process ends when it quits during a background import.
vellora_add_qtest(tst_importquit
  SOURCES tst_importquit.cpp PictureFixtures.h
  LIBS vellora_library
  TIMEOUT 60)
