# Media files: picture decoding and encoding, digests, file import and export.
pkg_check_modules(MEDIA_TEST_HEIF REQUIRED IMPORTED_TARGET libheif)

vellora_add_qtest(tst_mediaplatform
  SOURCES tst_mediaplatform.cpp PictureFixtures.h HeifFixture.h
  LIBS vellora_platform PkgConfig::MEDIA_TEST_HEIF)

vellora_add_qtest(tst_media
  SOURCES tst_media.cpp PictureFixtures.h HeifFixture.h
  LIBS vellora_library PkgConfig::MEDIA_TEST_HEIF)

vellora_add_qtest(tst_oldlibrary
  SOURCES tst_oldlibrary.cpp PictureFixtures.h
  LIBS vellora_library)

vellora_add_qtest(tst_mediastore
  SOURCES tst_mediastore.cpp PictureFixtures.h
  LIBS vellora_test_seams vellora_library
  TIMEOUT 300)
target_compile_definitions(tst_mediastore PRIVATE VELLORA_MEDIA_FIXTURES="${CMAKE_CURRENT_LIST_DIR}/fixtures/media")
