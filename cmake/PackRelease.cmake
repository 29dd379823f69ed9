# Packs one release archive: a top folder "Vellora.app" with PROGRAM under
# bin/ and a manifest naming VERSION and BUILD beside it, then signs it with
# the development key in KEY_DIR when one is given. Run in script mode:
#   cmake -DPROGRAM=… -DSIGN_TOOL=… -DVERSION=… -DBUILD=… -DTREE=… -DARCHIVE=…
#         [-DKEY_DIR=…] -P PackRelease.cmake
# The build's `release-archive` target runs it with the build's own version;
# tests run it to make releases of another version from the same program.
foreach(_required PROGRAM SIGN_TOOL VERSION BUILD TREE ARCHIVE)
  if(NOT DEFINED ${_required} OR "${${_required}}" STREQUAL "")
    message(FATAL_ERROR "PackRelease: ${_required} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE ${TREE})
file(MAKE_DIRECTORY ${TREE}/Vellora.app/bin)
file(COPY_FILE ${PROGRAM} ${TREE}/Vellora.app/bin/vellora)
file(CHMOD ${TREE}/Vellora.app/bin/vellora
  PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
execute_process(COMMAND ${SIGN_TOOL} manifest ${VERSION} ${BUILD} ${TREE}/Vellora.app/Info.plist
  COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND tar --zstd -cf ${ARCHIVE} -C ${TREE} Vellora.app
  COMMAND_ERROR_IS_FATAL ANY)
if(DEFINED KEY_DIR AND NOT "${KEY_DIR}" STREQUAL "")
  execute_process(COMMAND ${SIGN_TOOL} sign ${KEY_DIR} ${ARCHIVE} "com.quendle.vellora ${VERSION} ${BUILD}"
    COMMAND_ERROR_IS_FATAL ANY)
endif()
