# Media files: picture decoding and encoding, digests, file import and export.
pkg_check_modules(MEDIA_TEST_HEIF REQUIRED IMPORTED_TARGET libheif)

vellora_add_qtest(tst_mediaplatform
  SOURCES tst_mediaplatform.cpp PictureFixtures.h
  LIBS vellora_platform PkgConfig::MEDIA_TEST_HEIF)
