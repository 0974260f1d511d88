# What `cmake --install` puts where a desktop looks for it. The .deb is this
# same install under /usr; the Windows ZIP is the exe beside its texts.
include(GNUInstallDirs)
set(TASTLINK_APP_ID io.github.tastlink.Tastlink)
# GNUInstallDirs would name it after the project, with a capital T.
set(TASTLINK_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/tastlink)

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  install(FILES data/${TASTLINK_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES data/${TASTLINK_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  install(FILES data/${TASTLINK_APP_ID}.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  # Not GNUInstallDirs' LIBDIR: udev and modules-load read lib/ under the
  # prefix, never the multiarch directory.
  install(FILES data/60-tastlink-uinput.rules DESTINATION lib/udev/rules.d)
  install(FILES data/modules-load.conf DESTINATION lib/modules-load.d RENAME tastlink.conf)
  install(FILES LICENSE README.md DESTINATION ${TASTLINK_DOCDIR})

  set(generated)
  # Bitmaps for desktops and menus that do not draw SVG icons themselves.
  find_program(RSVG_CONVERT rsvg-convert)
  if(RSVG_CONVERT)
    foreach(size 48 256)
      set(png ${CMAKE_BINARY_DIR}/icons/${size}x${size}/${TASTLINK_APP_ID}.png)
      add_custom_command(OUTPUT ${png}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icons/${size}x${size}
        COMMAND ${RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${CMAKE_SOURCE_DIR}/data/${TASTLINK_APP_ID}.svg
        DEPENDS data/${TASTLINK_APP_ID}.svg VERBATIM)
      install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
      list(APPEND generated ${png})
    endforeach()
  else()
    message(WARNING "rsvg-convert (librsvg2-bin) not found: only the SVG icon is installed")
  endif()

  find_program(SCDOC scdoc)
  if(SCDOC)
    foreach(lang en de)
      if(lang STREQUAL "en")
        set(source doc/tastlink.1.scd)
        set(dir ${CMAKE_INSTALL_MANDIR}/man1)
      else()
        set(source doc/tastlink.${lang}.1.scd)
        set(dir ${CMAKE_INSTALL_MANDIR}/${lang}/man1)
      endif()
      set(scd ${CMAKE_BINARY_DIR}/man/${lang}/tastlink.1.scd)
      configure_file(${source} ${scd} @ONLY)
      add_custom_command(OUTPUT ${scd}.gz
        COMMAND sh -c "\"$0\" < \"$1\" | gzip -9n > \"$1.gz\"" ${SCDOC} ${scd}
        DEPENDS ${scd} VERBATIM)
      install(FILES ${scd}.gz DESTINATION ${dir} RENAME tastlink.1.gz)
      list(APPEND generated ${scd}.gz)
    endforeach()
  else()
    message(WARNING "scdoc not found: the manual pages are not built")
  endif()
  add_custom_target(tastlink_data ALL DEPENDS ${generated})
elseif(WIN32)
  install(TARGETS Tastlink RUNTIME DESTINATION .)
  # Texts for Notepad: CRLF, and a byte-order mark so that even old Windows
  # reads the umlauts as UTF-8.
  string(ASCII 239 187 191 bom)
  foreach(pair "LICENSE|LICENSE.txt" "packaging/windows/LIESMICH.txt|LIESMICH.txt"
               "packaging/windows/README.txt|README.txt")
    string(REPLACE "|" ";" pair "${pair}")
    list(GET pair 0 source)
    list(GET pair 1 name)
    file(READ ${source} text)
    string(CONFIGURE "${text}" text @ONLY)
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${CMAKE_BINARY_DIR}/zip/${name} "${bom}${text}")
    install(FILES ${CMAKE_BINARY_DIR}/zip/${name} DESTINATION .)
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    LICENSE packaging/windows/LIESMICH.txt packaging/windows/README.txt)
endif()
