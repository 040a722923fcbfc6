# Where `cmake --install` puts the program and the files a desktop and a service manager look
# for, and the Debian packages CPack makes of them (scripts/package), split as Debian splits a
# daemon from its desktop:
#   vellomar-relay  the program (console face, command line, service units, manual page, notice
#                   template): no graphical library, what a server installs;
#   vellomar        the window face (the Qt plug-in) with the menu entry, icon and AppStream
#                   data, depending on vellomar-relay;
#   vellomar-mta    the program as the machine's mail transport (vellomar-sendmail under
#                   sendmail's names, the system service's drop folder), depending on
#                   vellomar-relay alone.
# The name `vellomar` stays with what a desktop user installed and knows (the window): upgrading
# it from the single package of 0.2-1 brings vellomar-relay in as its new dependency, which takes
# the program's files over (Replaces) and refuses to sit beside the old single package (Breaks).
# Had the program kept the name, the window would have had to come back through a Recommends,
# which would bring Qt onto every server that installs vellomar-mta with recommends on.
include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME relay)

set(VELLOMAR_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(VELLOMAR_APP_ID example.vellomar.Vellomar)
set(VELLOMAR_PACKAGE_REVISION 2)
set(VELLOMAR_PACKAGE_VERSION ${PROJECT_VERSION}-${VELLOMAR_PACKAGE_REVISION})
# The first version made of separate program and window packages.
set(VELLOMAR_SPLIT_VERSION 0.2-2)
set(generated ${PROJECT_BINARY_DIR}/packaging)

# Files that carry the version, and the compressed ones Debian asks for (gzip -n: no time stamp,
# so that two builds give the same bytes).
configure_file(${VELLOMAR_PACKAGING_DIR}/${VELLOMAR_APP_ID}.metainfo.xml ${generated}/${VELLOMAR_APP_ID}.metainfo.xml @ONLY)
configure_file(${VELLOMAR_PACKAGING_DIR}/vellomar.1 ${generated}/vellomar.1 @ONLY)
configure_file(${VELLOMAR_PACKAGING_DIR}/changelog.Debian ${generated}/changelog.Debian @ONLY)
configure_file(${VELLOMAR_PACKAGING_DIR}/vellomar-sendmail.8 ${generated}/vellomar-sendmail.8 @ONLY)
configure_file(${VELLOMAR_PACKAGING_DIR}/changelog.Debian.mta ${generated}/changelog.Debian.mta @ONLY)
configure_file(${VELLOMAR_PACKAGING_DIR}/changelog.Debian.relay ${generated}/changelog.Debian.relay @ONLY)
foreach(page IN ITEMS vellomar.1 changelog.Debian vellomar-sendmail.8 changelog.Debian.mta changelog.Debian.relay)
  execute_process(COMMAND gzip -9 -n -c ${generated}/${page} OUTPUT_FILE ${generated}/${page}.gz
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()

# vellomar-relay.
install(TARGETS vellomar RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/resources/error DESTINATION ${CMAKE_INSTALL_DATADIR}/vellomar)
install(FILES ${generated}/vellomar.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${VELLOMAR_PACKAGING_DIR}/vellomar.service DESTINATION lib/systemd/system)
install(FILES ${VELLOMAR_PACKAGING_DIR}/vellomar-user.service DESTINATION lib/systemd/user RENAME vellomar.service)
install(FILES ${VELLOMAR_PACKAGING_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vellomar-relay)
install(FILES ${generated}/changelog.Debian.relay.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vellomar-relay
        RENAME changelog.Debian.gz)

# vellomar, the window face, in the program's library folder: the program looks for it there,
# under its own prefix (ui/window_face.h).
if(TARGET vellomar-qt)
  install(TARGETS vellomar-qt LIBRARY DESTINATION ${VELLOMAR_LIBRARY_FOLDER} COMPONENT desktop)
endif()
install(FILES ${VELLOMAR_PACKAGING_DIR}/${VELLOMAR_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
        COMPONENT desktop)
install(FILES ${generated}/${VELLOMAR_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
        COMPONENT desktop)
foreach(size IN ITEMS 16 24 32 48 64 128 256)
  install(FILES ${PROJECT_SOURCE_DIR}/resources/icons/${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME vellomar.png COMPONENT desktop)
endforeach()
install(FILES ${VELLOMAR_PACKAGING_DIR}/copyright ${generated}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vellomar COMPONENT desktop)
# The menu entry starts the program of vellomar-relay, on which this package depends.
install(FILES ${VELLOMAR_PACKAGING_DIR}/lintian-overrides.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME vellomar COMPONENT desktop)

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
set(about "Vellomar takes the outgoing mail of the mail programs on the machine or
the local network over SMTP, keeps each message as a spool file and
delivers it itself: to one next relay, or to the mail exchanger of each
recipient's domain.")
set(CPACK_COMPONENT_RELAY_DESCRIPTION "store-and-forward SMTP relay (program)
${about}
.
This package holds the program: its console face and command line, a
manual page, and systemd units to run it as a user service or as a
system service on port 25. It needs no graphical library; install
vellomar for its window and tray icon.")
set(CPACK_COMPONENT_DESKTOP_DESCRIPTION "store-and-forward SMTP relay for the desktop
${about}
.
This package adds its window and tray icon (Qt 6), which the program
shows where a display is named, with an entry in the desktop's menu. The
program itself is in vellomar-relay, installed with it.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL relay desktop mta)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_RELAY_PACKAGE_NAME vellomar-relay)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME vellomar)
set(CPACK_DEBIAN_MTA_PACKAGE_NAME vellomar-mta)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VELLOMAR_PACKAGE_REVISION})
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://vellomar.example/)
# Dependencies come from the libraries each package's programs link (dpkg-shlibdeps), never from
# a list, but for what a program loads only when it needs it: the window face's plug-in, which
# is the other package, and the sign-in's and keyring's libraries (see platform/).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# libcurl from 7.85 (CURLOPT_PROTOCOLS_STR, which keeps a sign-in's requests to https), and
# libsecret, loaded when a sign-in needs them.
set(CPACK_DEBIAN_RELAY_PACKAGE_DEPENDS "libcurl4 (>= 7.85.0), libsecret-1-0 (>= 0.7)")
set(CPACK_DEBIAN_RELAY_PACKAGE_REPLACES "vellomar (<< ${VELLOMAR_SPLIT_VERSION})")
set(CPACK_DEBIAN_RELAY_PACKAGE_BREAKS "vellomar (<< ${VELLOMAR_SPLIT_VERSION})")
set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS "vellomar-relay (= ${VELLOMAR_PACKAGE_VERSION})")
set(CPACK_DEBIAN_DESKTOP_PACKAGE_SECTION mail)
# The maintainer scripts: an upgrade restarts the system service on the new program, a removal
# stops it first, a purge takes away the links its enabling made.
set(CPACK_DEBIAN_RELAY_PACKAGE_CONTROL_EXTRA
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
set(CPACK_DEBIAN_MTA_PACKAGE_DEPENDS "vellomar-relay (= ${VELLOMAR_PACKAGE_VERSION}), passwd")
set(CPACK_DEBIAN_MTA_PACKAGE_PROVIDES mail-transport-agent)
set(CPACK_DEBIAN_MTA_PACKAGE_CONFLICTS mail-transport-agent)
set(CPACK_DEBIAN_MTA_PACKAGE_REPLACES mail-transport-agent)
# The system user the drop folder and the service share, the folder itself, and the service
# restarted to read it.
set(CPACK_DEBIAN_MTA_PACKAGE_CONTROL_EXTRA
    "${VELLOMAR_PACKAGING_DIR}/maintainer/mta/postinst;${VELLOMAR_PACKAGING_DIR}/maintainer/mta/postrm")
include(CPack)
