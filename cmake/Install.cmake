# Installation as a desktop program: the programs, the libraries they load at
# run time and the help pages share one program folder (<prefix>/lib/tessary),
# which is where they find each other. Launchers on PATH are symbolic links
# into it; the program resolves its own folder through the link.
set(TESSARY_PROGRAM_FOLDER lib/tessary)

foreach(_target tessary tessary-cli tessary_charttiles tessary_ecw tessary_mrsid tessary_gdal)
  if(TARGET ${_target})
    install(TARGETS ${_target}
      RUNTIME DESTINATION ${TESSARY_PROGRAM_FOLDER}
      LIBRARY DESTINATION ${TESSARY_PROGRAM_FOLDER})
  endif()
endforeach()

if(TARGET tessary)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/help/ DESTINATION ${TESSARY_PROGRAM_FOLDER}/help)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/tessary.desktop DESTINATION share/applications)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/tessary.svg DESTINATION share/icons/hicolor/scalable/apps)
endif()

# Manual pages (with the project's version filled in) and the command line's
# bash completion, where bash-completion loads it on demand.
set(_man ${CMAKE_BINARY_DIR}/man)
foreach(_program tessary tessary-cli)
  if(TARGET ${_program})
    set(TESSARY_VERSION ${PROJECT_VERSION})
    configure_file(${CMAKE_SOURCE_DIR}/docs/man/${_program}.1 ${_man}/${_program}.1 @ONLY)
    install(FILES ${_man}/${_program}.1 DESTINATION share/man/man1)
  endif()
endforeach()
if(TARGET tessary-cli)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/tessary-cli.bash-completion
    DESTINATION share/bash-completion/completions RENAME tessary-cli)
endif()

# Relative links, so that the installed tree can move (DESTDIR, packages).
set(_launchers ${CMAKE_BINARY_DIR}/launchers)
file(MAKE_DIRECTORY ${_launchers})
foreach(_program tessary tessary-cli)
  if(TARGET ${_program})
    file(CREATE_LINK ../${TESSARY_PROGRAM_FOLDER}/${_program} ${_launchers}/${_program} SYMBOLIC)
    install(FILES ${_launchers}/${_program} DESTINATION bin)
  endif()
endforeach()

# cpack -G DEB in the build folder makes a Debian package.
set(CPACK_PACKAGE_NAME tessary)
set(CPACK_PACKAGE_VENDOR "Tessary developers")
set(CPACK_PACKAGE_CONTACT "Tessary developers <tessary@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Converts folders of raster map images into tiled RPX2 files")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
include(CPack)

# The licence and the list of the libraries the programs link, where Debian
# keeps a package's copyright file.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright DESTINATION share/doc/tessary)
