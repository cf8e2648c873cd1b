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
install(FILES examples/xq_host.c examples/xq_receive.c examples/send_file.py
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/xmodemquarvel/examples)

if(XMODEMQUARVEL_SERVER_NUMBER STREQUAL "0199001234")
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
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3")
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
