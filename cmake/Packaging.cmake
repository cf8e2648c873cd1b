# `cpack -G DEB` in the build folder: one package that installs the library,
# its headers, CMake and pkg-config files, its section-3 manual pages, the
# Python module, the xmodemq command and its manual page under /usr. The
# server's number is compiled into the library and the command; the
# package's description names it, so that an operator can tell a
# deployment's package from a trial one before installing it
# (`dpkg-deb -I PACKAGE.deb`, then `xmodemq --version` once installed).

set(XMODEMQUARVEL_PACKAGE_MAINTAINER "XmodemQuarvel <xmodemquarvel@example.invalid>" CACHE STRING
  "Maintainer field of the Debian package")

install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/xmodemquarvel)
# The guides the README leads to.
file(GLOB xmq_guides ${PROJECT_SOURCE_DIR}/doc/*.md)
install(FILES ${xmq_guides} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/xmodemquarvel/doc)
# NEWS, what changed from one version to the next, is the package's changelog,
# compressed as Debian installs it.
find_program(XMQ_GZIP gzip)
if(XMQ_GZIP)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/changelog.gz
    COMMAND ${XMQ_GZIP} -9 -n -c ${PROJECT_SOURCE_DIR}/NEWS > ${PROJECT_BINARY_DIR}/changelog.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/NEWS VERBATIM)
  add_custom_target(changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/changelog.gz)
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/xmodemquarvel)
else()
  install(FILES NEWS DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/xmodemquarvel RENAME changelog)
endif()
install(FILES examples/xq_host.c examples/xq_receive.c examples/send_file.py
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/xmodemquarvel/examples)

if(XMODEMQUARVEL_SERVER_NUMBER STREQUAL XMODEMQUARVEL_FICTIONAL_SERVER_NUMBER)
  set(XMQ_NUMBER_NOTE "${XMODEMQUARVEL_SERVER_NUMBER} (numéro fictif : paquet d'essai pour le simulateur)")
else()
  set(XMQ_NUMBER_NOTE "${XMODEMQUARVEL_SERVER_NUMBER}")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME xmodemquarvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR XmodemQuarvel)
set(CPACK_PACKAGE_CONTACT "${XMODEMQUARVEL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The package installs into a staging DESTDIR with /usr as the prefix, so
# that what the install scripts write (the .pc file) names /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION} : échange de fichiers par modem")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}
Composant et commande xmodemq pour échanger des fichiers avec le serveur de
l'assurance maladie par un modem Hayes (protocole Xmodem à enregistrement
d'ouverture), et compacter ou décompacter des fichiers.
.
Numéro du serveur : ${XMQ_NUMBER_NOTE}
.
Contient la bibliothèque partagée libxmodemquarvel (interfaces C et C++),
ses en-têtes, ses fichiers CMake et pkg-config, ses pages de manuel xq(3),
le module Python xmodemquarvel, la commande xmodemq et sa page de manuel.")
# The Python module is pure Python: it needs an interpreter only to be used.
# The journal of the transfers reads with the sqlite3 command as well. What
# the command itself links to (libsqlite3, libnettle) comes with the shared
# library dependencies below.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3, sqlite3")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${XMODEMQUARVEL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Dependencies from the binaries themselves (needs dpkg-dev), and a shlibs
# file with the ldconfig trigger for the shared library.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
include(CPack)
