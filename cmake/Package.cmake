# `make package`: the release archive of this build, one top folder
# "Vellora.app" with the program under bin/ and the manifest beside it,
# signed with the build folder's development key when the build has one.
if(NOT TARGET vellora OR NOT TARGET vellora-update-sign)
  return()
endif()
set(VELLORA_PACK_RELEASE_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/PackRelease.cmake CACHE INTERNAL "")
set(_tree ${CMAKE_BINARY_DIR}/package)
set(_archive ${CMAKE_BINARY_DIR}/Vellora-${Vellora_VERSION}.tar.zst)
add_custom_target(release-archive
  COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:vellora> -DSIGN_TOOL=$<TARGET_FILE:vellora-update-sign>
    -DVERSION=${Vellora_VERSION} -DBUILD=${VELLORA_BUILD_NUMBER} -DTREE=${_tree} -DARCHIVE=${_archive}
    -DKEY_DIR=${VELLORA_UPDATE_KEY_DIR} -P ${VELLORA_PACK_RELEASE_SCRIPT}
  DEPENDS vellora vellora-update-sign
  COMMENT "Packing ${_archive}"
  VERBATIM)
