# The Debian service package, built by package.sh with "cpack -G DEB": the programs, the
# reference web site, the systemd unit with its settings file, and the package documents.
# Configuring and building need none of the dpkg tools; only cpack does (dpkg-shlibdeps
# computes the dependencies).
include(GNUInstallDirs)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(palvor_packaging ${PROJECT_SOURCE_DIR}/packaging)
set(palvor_doc ${CMAKE_INSTALL_DATADIR}/doc/palvor)

install(TARGETS palvorserver palvorctl palvorplay RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The reference site without a published update archive or logs a local run left there.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/site/ DESTINATION ${CMAKE_INSTALL_DATADIR}/palvor/site
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        PATTERN serve.sh EXCLUDE PATTERN *.zip EXCLUDE PATTERN *.log EXCLUDE)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/site/serve.sh
        DESTINATION ${CMAKE_INSTALL_DATADIR}/palvor/site)
# Debian 12 keeps units and settings outside /usr.
install(FILES ${palvor_packaging}/palvorserver.service DESTINATION /lib/systemd/system)
install(FILES ${palvor_packaging}/palvorserver.default DESTINATION /etc/default
        RENAME palvorserver)
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
site that admits visitors, and a systemd service that runs the server
headless with its files in /var/lib/palvor.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "php-cli")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${palvor_packaging}/conffiles ${palvor_packaging}/postinst ${palvor_packaging}/prerm
    ${palvor_packaging}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
