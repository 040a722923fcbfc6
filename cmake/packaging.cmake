# Where `cmake --install` puts the program and the files a desktop and a service manager look
# for, and the Debian packages CPack makes of them (scripts/package): `vellomar`, the relay,
# which works alone, and `vellomar-mta`, which makes it the machine's mail transport
# (vellomar-sendmail under sendmail's names, and the system service's drop folder).
include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME vellomar)

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
configure_file(${VELLOMAR_PACKAGING_DIR}/vellomar-sendmail.8 ${generated}/vellomar-sendmail.8 @ONLY)
configure_file(${VELLOMAR_PACKAGING_DIR}/changelog.Debian.mta ${generated}/changelog.Debian.mta @ONLY)
foreach(page IN ITEMS vellomar.1 changelog.Debian vellomar-sendmail.8 changelog.Debian.mta)
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

# vellomar-mta. The names programs call are relative links to the one program, which acts on the
# name it is called by (mailq, newaliases); each name has its manual page, a link to the one
# page. The package conflicts with every other transport, so no alternatives are needed.
install(TARGETS vellomar-sendmail RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT mta)
install(FILES ${generated}/vellomar-sendmail.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT mta)
install(FILES ${VELLOMAR_PACKAGING_DIR}/mta-drop-folder.conf DESTINATION lib/systemd/system/vellomar.service.d
        RENAME drop-folder.conf COMPONENT mta)
install(FILES ${VELLOMAR_PACKAGING_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vellomar-mta COMPONENT mta)
install(FILES ${generated}/changelog.Debian.mta.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vellomar-mta
        RENAME changelog.Debian.gz COMPONENT mta)
set(links ${generated}/links)
foreach(pair IN ITEMS sbin/sendmail:vellomar-sendmail lib/sendmail:../sbin/vellomar-sendmail
                      bin/mailq:../sbin/vellomar-sendmail bin/newaliases:../sbin/vellomar-sendmail
                      share/man/man8/sendmail.8.gz:vellomar-sendmail.8.gz
                      share/man/man1/mailq.1.gz:../man8/vellomar-sendmail.8.gz
                      share/man/man1/newaliases.1.gz:../man8/vellomar-sendmail.8.gz)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 link)
  list(GET pair 1 target)
  get_filename_component(name ${link} NAME)
  get_filename_component(folder ${link} DIRECTORY)
  file(MAKE_DIRECTORY ${links}/${folder})
  file(CREATE_LINK ${target} ${links}/${link} SYMBOLIC)
  install(FILES ${links}/${link} DESTINATION ${folder} COMPONENT mta)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vellomar)
set(CPACK_PACKAGE_VENDOR "The Vellomar developers")
set(CPACK_PACKAGE_CONTACT "The Vellomar developers <developers@vellomar.example>")
# Each package's description: its summary line, then the text.
set(CPACK_COMPONENT_VELLOMAR_DESCRIPTION "store-and-forward SMTP relay for the desktop
Vellomar takes the outgoing mail of the mail programs on the machine or
the local network over SMTP, keeps each message as a spool file and
delivers it itself: to one next relay, or to the mail exchanger of each
recipient's domain. It shows a window with a tray icon, or runs as a
console program, a user service or a system service on port 25.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL vellomar mta)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_VELLOMAR_PACKAGE_NAME vellomar)
set(CPACK_DEBIAN_MTA_PACKAGE_NAME vellomar-mta)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VELLOMAR_PACKAGE_REVISION})
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://vellomar.example/)
# Dependencies come from the libraries the program links (dpkg-shlibdeps), never from a list.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The maintainer scripts: an upgrade restarts the system service on the new program, a removal
# stops it first, a purge takes away the links its enabling made.
set(CPACK_DEBIAN_VELLOMAR_PACKAGE_CONTROL_EXTRA
    "${VELLOMAR_PACKAGING_DIR}/maintainer/postinst;${VELLOMAR_PACKAGING_DIR}/maintainer/prerm;${VELLOMAR_PACKAGING_DIR}/maintainer/postrm")

# As every transport does: one at a time, so that installing this one replaces exim4 or postfix
# and satisfies what depends on a transport (cron, mailutils, bsd-mailx).
set(CPACK_COMPONENT_MTA_DESCRIPTION "Vellomar as the machine's mail transport agent
This package makes Vellomar the mail transport agent of the machine: the
programs that hand their mail to /usr/sbin/sendmail (cron, at, mdadm,
smartd, mail, unattended-upgrades) give it to the Vellomar relay, which
resolves local names such as root through /etc/aliases and the address set
for them, and delivers it. Mail handed over while the relay is stopped waits
in a drop folder, written only by its sender, until the relay runs.")
set(CPACK_DEBIAN_MTA_PACKAGE_DEPENDS "vellomar (= ${VELLOMAR_PACKAGE_VERSION}), passwd")
set(CPACK_DEBIAN_MTA_PACKAGE_PROVIDES mail-transport-agent)
set(CPACK_DEBIAN_MTA_PACKAGE_CONFLICTS mail-transport-agent)
set(CPACK_DEBIAN_MTA_PACKAGE_REPLACES mail-transport-agent)
# The system user the drop folder and the service share, the folder itself, and the service
# restarted to read it.
set(CPACK_DEBIAN_MTA_PACKAGE_CONTROL_EXTRA
    "${VELLOMAR_PACKAGING_DIR}/maintainer/mta/postinst;${VELLOMAR_PACKAGING_DIR}/maintainer/mta/postrm")
include(CPack)
