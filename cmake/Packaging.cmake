# The Debian service package, built by package.sh with "cpack -G DEB": the programs, the
# reference web site with its visitor command, the systemd units (server and site) with the
# server's settings file and the site's visitor table, and the package documents.
# Configuring and building need none of the dpkg tools; only cpack does (dpkg-shlibdeps
# computes the dependencies).
include(GNUInstallDirs)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(palvor_packaging ${PROJECT_SOURCE_DIR}/packaging)
set(palvor_doc ${CMAKE_INSTALL_DATADIR}/doc/palvor)

install(TARGETS palvorserver palvorctl palvorplay RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The plug-in scanner, which the programs start for each plug-in they scan.
install(TARGETS palvor-vst-scan RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/palvor)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/site/palvor-visitor DESTINATION ${CMAKE_INSTALL_BINDIR})
# The reference site's pages, API and router only: not the demonstration visitor table, the
# scripts for local use, a published update archive, nor data a local run left there.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/site/ DESTINATION ${CMAKE_INSTALL_DATADIR}/palvor/site
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        PATTERN demo-visitors.json EXCLUDE PATTERN palvor-visitor EXCLUDE PATTERN serve.sh EXCLUDE
        PATTERN *.zip EXCLUDE PATTERN *.json EXCLUDE PATTERN *.log EXCLUDE PATTERN *.log.* EXCLUDE)
# Debian 12 keeps units and settings outside /usr. The visitor table starts empty; the
# package's scripts give it the group palvor (see postinst).
install(FILES ${palvor_packaging}/palvorserver.service ${palvor_packaging}/palvor-site.service
        DESTINATION /lib/systemd/system)
install(FILES ${palvor_packaging}/palvorserver.default DESTINATION /etc/default
        RENAME palvorserver)
install(FILES ${palvor_packaging}/visitors.json DESTINATION /etc/palvor
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
install(FILES ${palvor_packaging}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME palvor PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES ${palvor_packaging}/copyright ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${palvor_doc})
configure_file(${palvor_packaging}/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
install(CODE "
  set(palvor_changelog \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${palvor_doc}/changelog.gz\")
  execute_process(COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/packaging/changelog
                  OUTPUT_FILE \${palvor_changelog} RESULT_VARIABLE palvor_rc)
  if(NOT palvor_rc EQUAL 0)
    message(FATAL_ERROR \"gzip of the changelog failed: \${palvor_rc}\")
  endif()
  file(CHMOD \${palvor_changelog} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME palvor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "PalvorServer developers <dev@palvor.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "music sequence server for networked clients")
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://palvor.example/palvor")
# The synopsis is the summary above; this is the extended description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "PalvorServer serves music sequences to networked clients. Clients
register for a numbered solution and edit sequences, tracks, ports and
timed MIDI events together; each solution has its own server thread and
SQLite database, and every change is broadcast to the clients that have
the sequence open and recorded in an activity log.
.
This package holds the server (with its window program), the palvorctl
command-line client, the palvorplay MIDI file player, the reference web
site that admits visitors with the palvor-visitor command that keeps its
visitor table, and two systemd services: the site on 127.0.0.1:8080 and
the server, headless, with its files in /var/lib/palvor.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The site's service and palvor-visitor run PHP's command-line interpreter; the package's
# scripts create a system group.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "php-cli, adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${palvor_packaging}/conffiles ${palvor_packaging}/postinst ${palvor_packaging}/prerm
    ${palvor_packaging}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
