# Manual pages made from the programs' own --help (help2man), with the sections written for
# each in docs/man/PROGRAM.h2m; installed gzipped in share/man/man1.
include(GNUInstallDirs)
find_program(PALVOR_HELP2MAN help2man)
if(NOT PALVOR_HELP2MAN)
  message(WARNING "help2man not found: no manual pages (scripts/install-deps.sh installs it)")
  return()
endif()

set(palvor_man_dir ${CMAKE_BINARY_DIR}/man)
set(palvor_man_pages)
set(palvor_man_name_palvorserver "music sequence server for networked clients")
set(palvor_man_name_palvorctl "command-line client of the music sequence server")
set(palvor_man_name_palvorplay "play a MIDI file or a server's sequence, or draw it")
set(palvor_man_name_palvor-visitor "keep the visitors the reference web site admits")
foreach(prog palvorserver palvorctl palvorplay palvor-visitor)
  set(page ${palvor_man_dir}/${prog}.1)
  set(include ${PROJECT_SOURCE_DIR}/docs/man/${prog}.h2m)
  if(TARGET ${prog})
    set(program $<TARGET_FILE:${prog}>)
  else()
    set(program ${PROJECT_SOURCE_DIR}/site/${prog})  # a script
  endif()
  # A sanitizer build's leak report would end help2man's run of the program.
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${palvor_man_dir}
    COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
            ${PALVOR_HELP2MAN} --no-info --version-string=${PROJECT_VERSION}
            --name=${palvor_man_name_${prog}} --include=${include} --output=${page}
            ${program}
    COMMAND gzip -9nf ${page}
    DEPENDS ${program} ${include}
    COMMENT "Manual page ${prog}(1)"
    VERBATIM)
  list(APPEND palvor_man_pages ${page}.gz)
endforeach()
add_custom_target(palvor_manpages ALL DEPENDS ${palvor_man_pages})
install(FILES ${palvor_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
