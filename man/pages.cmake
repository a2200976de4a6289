# Included by CMakeLists.txt: the manual pages of the build and of the installation.
# Pages show this build's settings and where the table and the documentation lie under the
# prefix. `cmake --install --prefix` chooses the prefix only when it installs, so the installed
# pages are written then (man/install.cmake); the build's own, build/man/PAGE, name the
# configured one.
set(MAC2CP850_DOCDIR ${CMAKE_INSTALL_FULL_DOCDIR})
foreach(page IN LISTS MAC2CP850_MAN_PAGES)
  configure_file(man/${page}.in ${CMAKE_BINARY_DIR}/man/${page} @ONLY)
endforeach()
install(CODE "
  set(MAC2CP850_MAN_PAGES [==[${MAC2CP850_MAN_PAGES}]==])
  set(MAC2CP850_SOURCE_DIR [==[${PROJECT_SOURCE_DIR}]==])
  set(MAC2CP850_BINARY_DIR [==[${CMAKE_BINARY_DIR}]==])
  set(MAC2CP850_MOUNTPOINT [==[${MAC2CP850_MOUNTPOINT}]==])
  set(MAC2CP850_RECORD_DIR [==[${MAC2CP850_RECORD_DIR}]==])
  set(PROJECT_VERSION [==[${PROJECT_VERSION}]==])
  set(GZIP_PROGRAM [==[${GZIP_PROGRAM}]==])
  set(MAC2CP850_INSTALL_DATADIR [==[${CMAKE_INSTALL_DATADIR}]==])
  set(MAC2CP850_INSTALL_DOCDIR [==[${CMAKE_INSTALL_DOCDIR}]==])
  set(MAC2CP850_INSTALL_MANDIR [==[${CMAKE_INSTALL_MANDIR}]==])")
install(SCRIPT man/install.cmake)
