# `cmake --install build --prefix DIR` (and `make install PREFIX=DIR`): the
# programs into bin, and below share the desktop entry, the hicolor icons,
# the D-Bus service that starts the search provider, GNOME Shell's provider
# file and KRunner's plug-in file, all naming DIR/bin/vellora. Those files
# are written at install time, so that they name the prefix actually used.
# vellora-share and its status window install from their own folder.
if(NOT TARGET vellora OR NOT TARGET vellora-install-files)
  return()
endif()
include(GNUInstallDirs)
install(TARGETS vellora RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET vellora-cloud)
  install(TARGETS vellora-cloud RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(CODE "
  set(_share \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}\")
  set(_program \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/vellora\")
  message(STATUS \"Installing: desktop files into \${_share}\")
  execute_process(COMMAND \"$<TARGET_FILE:vellora-install-files>\" \"\${_share}\" \"\${_program}\"
                  RESULT_VARIABLE _failed)
  if(_failed)
    message(FATAL_ERROR \"vellora-install-files failed\")
  endif()
  # A packager's staging folder (DESTDIR) leaves the caches to the package.
  find_program(_update_desktop_database update-desktop-database)
  if(_update_desktop_database AND \"\$ENV{DESTDIR}\" STREQUAL \"\")
    execute_process(COMMAND \${_update_desktop_database} -q \"\${_share}/applications\")
  endif()
")
