# The Debian packages, split as Debian splits a library and its tools:
#   libxmodemquarvel2      the shared library alone     (install component lib)
#   libxmodemquarvel-dev   headers, link, static, .pc, CMake files, xq(3)  (dev)
#   xmodemq                the command, its pages, the systemd units      (command)
#   python3-xmodemquarvel  the Python module                              (python)
# `cmake --build build --target deb` writes them to build/deb/ (needs
# dpkg-dev). packaging/build-debs.sh stages each component with
# `cmake --install --component` and builds it with the Debian tools
# (dpkg-shlibdeps, dpkg-gencontrol, dpkg-deb) from packaging/debian/, as a
# Debian source package's build would: chosen over CPack's DEB generator so
# that the control fields, the maintainer scripts and the archive are what
# those tools write and lintian expects. The server's number is compiled
# into the library and the command; the descriptions of their packages name
# it, so that an operator can tell a deployment's package from a trial one
# before installing it (`dpkg-deb -I PACKAGE.deb`, then `xmodemq --version`).

set(XMODEMQUARVEL_PACKAGE_MAINTAINER "XmodemQuarvel <xmodemquarvel@example.invalid>" CACHE STRING
  "Maintainer field of the Debian packages")

install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/xmodemquarvel COMPONENT command)
# The guides the README leads to.
file(GLOB xmq_guides ${PROJECT_SOURCE_DIR}/doc/*.md)
install(FILES ${xmq_guides} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/xmodemquarvel/doc
  COMPONENT command)
# NEWS, what changed from one version to the next, is the upstream changelog,
# compressed as Debian installs it.
find_program(XMQ_GZIP gzip)
if(XMQ_GZIP)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/changelog.gz
    COMMAND ${XMQ_GZIP} -9 -n -c ${PROJECT_SOURCE_DIR}/NEWS > ${PROJECT_BINARY_DIR}/changelog.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/NEWS VERBATIM)
  add_custom_target(changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/changelog.gz)
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/xmodemquarvel
    COMPONENT command)
else()
  install(FILES NEWS DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/xmodemquarvel RENAME changelog
    COMPONENT command)
endif()
install(FILES examples/xq_host.c examples/xq_receive.c
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/xmodemquarvel/examples COMPONENT dev)
install(FILES examples/send_file.py
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/xmodemquarvel/examples COMPONENT python)

if(XMODEMQUARVEL_SERVER_NUMBER STREQUAL XMODEMQUARVEL_FICTIONAL_SERVER_NUMBER)
  set(XMQ_NUMBER_NOTE "${XMODEMQUARVEL_SERVER_NUMBER} (numéro fictif, paquet d'essai)")
else()
  set(XMQ_NUMBER_NOTE "${XMODEMQUARVEL_SERVER_NUMBER}")
endif()
# What packaging/build-debs.sh needs to know of this build, one NAME=value a
# line (read as text, never run).
file(WRITE ${PROJECT_BINARY_DIR}/packaging.env
  "version=${PROJECT_VERSION}\n"
  "soversion=${XMODEMQUARVEL_SOVERSION}\n"
  "maintainer=${XMODEMQUARVEL_PACKAGE_MAINTAINER}\n"
  "number_note=${XMQ_NUMBER_NOTE}\n")
add_custom_target(deb
  COMMAND bash ${PROJECT_SOURCE_DIR}/packaging/build-debs.sh ${PROJECT_BINARY_DIR}
          ${PROJECT_BINARY_DIR}/deb
  COMMENT "Debian packages in ${PROJECT_BINARY_DIR}/deb" VERBATIM)
add_dependencies(deb xmodemquarvel xmodemquarvel_static manpages3 changelog)
if(TARGET xmodemq)
  add_dependencies(deb xmodemq)
endif()
if(TARGET manpage)
  add_dependencies(deb manpage)
endif()
