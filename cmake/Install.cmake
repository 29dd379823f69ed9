# `cmake --install build --prefix DIR` (and `make install PREFIX=DIR`): the
# programs into bin, and below share the desktop entry, the hicolor icons,
# the D-Bus service that starts the search provider, GNOME Shell's provider
# file and KRunner's plug-in file, all naming DIR/bin/vellora. The build
# writes those files into build/desktop-files for the configured prefix, so
# that the install copies them and lists each in install_manifest.txt, which
# packagers and uninstalls read. An install into another prefix writes the
# ones that name the program again, in place, once copied.
# vellora-share and its status window install from their own folder.
if(NOT TARGET vellora OR NOT TARGET vellora-install-files)
  return()
endif()
include(GNUInstallDirs)
install(TARGETS vellora RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET vellora-cloud)
  install(TARGETS vellora-cloud RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

set(_desktop_files ${CMAKE_BINARY_DIR}/desktop-files)
add_custom_command(OUTPUT ${_desktop_files}.stamp
  # Emptied first, so that a file an older build wrote is not installed.
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${_desktop_files}
  COMMAND vellora-install-files ${_desktop_files} ${CMAKE_INSTALL_FULL_BINDIR}/vellora
  COMMAND ${CMAKE_COMMAND} -E touch ${_desktop_files}.stamp
  DEPENDS vellora-install-files
  COMMENT "Writing the desktop files for ${CMAKE_INSTALL_FULL_BINDIR}/vellora"
  VERBATIM)
add_custom_target(vellora-desktop-files ALL DEPENDS ${_desktop_files}.stamp)
install(DIRECTORY ${_desktop_files}/ DESTINATION ${CMAKE_INSTALL_DATADIR})

install(CODE "
  set(_share \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}\")
  set(_program \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/vellora\")
  if(NOT _program STREQUAL \"${CMAKE_INSTALL_FULL_BINDIR}/vellora\")
    # The same files as the build's, naming the program where it now is.
    message(STATUS \"Naming \${_program} in the desktop files below \${_share}\")
    execute_process(COMMAND \"$<TARGET_FILE:vellora-install-files>\" \"\${_share}\" \"\${_program}\"
                    RESULT_VARIABLE _failed)
    if(_failed)
      message(FATAL_ERROR \"vellora-install-files failed\")
    endif()
  endif()
  # A packager's staging folder (DESTDIR) leaves the caches to the package.
  find_program(_update_desktop_database update-desktop-database)
  if(_update_desktop_database AND \"\$ENV{DESTDIR}\" STREQUAL \"\")
    execute_process(COMMAND \${_update_desktop_database} -q \"\${_share}/applications\")
  endif()
")
