# Where `cmake --install` puts the program and the files a desktop and a service manager look
# for, and the Debian package CPack makes of them (scripts/package).
include(GNUInstallDirs)

set(VELLOMAR_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(VELLOMAR_APP_ID example.vellomar.Vellomar)
set(VELLOMAR_PACKAGE_REVISION 1)
set(VELLOMAR_PACKAGE_VERSION ${PROJECT_VERSION}-${VELLOMAR_PACKAGE_REVISION})
set(generated ${PROJECT_BINARY_DIR}/packaging)

# Files that carry the version, and the compressed ones Debian asks for (gzip -n: no time stamp,
# so that two builds give the same bytes).
configure_file(${VELLOMAR_PACKAGING_DIR}/${VELLOMAR_APP_ID}.metainfo.xml ${generated}/${VELLOMAR_APP_ID}.metainfo.xml @ONLY)
configure_file(${VELLOMAR_PACKAGING_DIR}/vellomar.1 ${generated}/vellomar.1 @ONLY)
configure_file(${VELLOMAR_PACKAGING_DIR}/changelog.Debian ${generated}/changelog.Debian @ONLY)
foreach(page IN ITEMS vellomar.1 changelog.Debian)
  execute_process(COMMAND gzip -9 -n -c ${generated}/${page} OUTPUT_FILE ${generated}/${page}.gz
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()

install(TARGETS vellomar RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/resources/error DESTINATION ${CMAKE_INSTALL_DATADIR}/vellomar)
install(FILES ${VELLOMAR_PACKAGING_DIR}/${VELLOMAR_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${generated}/${VELLOMAR_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
foreach(size IN ITEMS 16 24 32 48 64 128 256)
  install(FILES ${PROJECT_SOURCE_DIR}/resources/icons/${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME vellomar.png)
endforeach()
install(FILES ${generated}/vellomar.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${VELLOMAR_PACKAGING_DIR}/vellomar.service DESTINATION lib/systemd/system)
install(FILES ${VELLOMAR_PACKAGING_DIR}/vellomar-user.service DESTINATION lib/systemd/user RENAME vellomar.service)
install(FILES ${VELLOMAR_PACKAGING_DIR}/copyright ${generated}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vellomar)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vellomar)
set(CPACK_PACKAGE_VENDOR "The Vellomar developers")
set(CPACK_PACKAGE_CONTACT "The Vellomar developers <developers@vellomar.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "store-and-forward SMTP relay for the desktop")
set(CPACK_PACKAGE_DESCRIPTION "Vellomar takes the outgoing mail of the mail programs on the machine or
the local network over SMTP, keeps each message as a spool file and
delivers it itself: to one next relay, or to the mail exchanger of each
recipient's domain. It shows a window with a tray icon, or runs as a
console program, a user service or a system service on port 25.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VELLOMAR_PACKAGE_REVISION})
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://vellomar.example/)
# Dependencies come from the libraries the program links (dpkg-shlibdeps), never from a list.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The maintainer scripts: an upgrade restarts the system service on the new program, a removal
# stops it first, a purge takes away the links its enabling made.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${VELLOMAR_PACKAGING_DIR}/maintainer/postinst;${VELLOMAR_PACKAGING_DIR}/maintainer/prerm;${VELLOMAR_PACKAGING_DIR}/maintainer/postrm")
include(CPack)
