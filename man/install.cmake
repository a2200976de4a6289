# Run by `cmake --install` (and cpack) after CMakeLists.txt's settings: writes each manual page
# from man/PAGE.in with the folders of the prefix installed into now, and installs it compressed
# without a time stamp, as Debian wants, so that the package is the same on every build.
cmake_path(APPEND CMAKE_INSTALL_PREFIX ${MAC2CP850_INSTALL_DATADIR} mac2cp850
  OUTPUT_VARIABLE MAC2CP850_DATADIR)
cmake_path(APPEND CMAKE_INSTALL_PREFIX ${MAC2CP850_INSTALL_DOCDIR}
  OUTPUT_VARIABLE MAC2CP850_DOCDIR)
foreach(page IN LISTS MAC2CP850_MAN_PAGES)
  set(written ${MAC2CP850_BINARY_DIR}/man/installed/${page})
  configure_file(${MAC2CP850_SOURCE_DIR}/man/${page}.in ${written} @ONLY)
  execute_process(COMMAND ${GZIP_PROGRAM} -9nf ${written} COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX REPLACE ".*\\.([1-9])$" "\\1" section ${page})
  cmake_path(APPEND CMAKE_INSTALL_PREFIX ${MAC2CP850_INSTALL_MANDIR} man${section}
    OUTPUT_VARIABLE destination)
  file(INSTALL ${written}.gz DESTINATION ${destination}
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()
