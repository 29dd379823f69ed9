# `make package`: the release archive of this build, one top folder
# "Vellora.app" with the program under bin/ and the manifest beside it,
# signed with the build folder's development key when the build has one.
if(NOT TARGET vellora OR NOT TARGET vellora-update-sign)
  return()
endif()
set(_tree ${CMAKE_BINARY_DIR}/package)
set(_archive ${CMAKE_BINARY_DIR}/Vellora-${Vellora_VERSION}.tar.zst)
set(_sign_command "")
if(VELLORA_UPDATE_KEY_DIR)
  set(_sign_command COMMAND vellora-update-sign sign ${VELLORA_UPDATE_KEY_DIR} ${_archive}
    "com.quendle.vellora ${Vellora_VERSION} ${VELLORA_BUILD_NUMBER}")
endif()
add_custom_target(release-archive
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${_tree}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_tree}/Vellora.app/bin
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:vellora> ${_tree}/Vellora.app/bin/vellora
  COMMAND vellora-update-sign manifest ${Vellora_VERSION} ${VELLORA_BUILD_NUMBER} ${_tree}/Vellora.app/Info.plist
  COMMAND tar --zstd -cf ${_archive} -C ${_tree} Vellora.app
  ${_sign_command}
  DEPENDS vellora vellora-update-sign
  COMMENT "Packing ${_archive}"
  VERBATIM)
