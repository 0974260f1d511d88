# `cpack`: the .deb on Linux, a ZIP of the exe on Windows (and a setup program).
set(CPACK_PACKAGE_NAME tastlink)
set(CPACK_PACKAGE_VENDOR "The Tastlink developers")
set(CPACK_PACKAGE_CONTACT "Tastlink developers <tastlink@users.noreply.github.com>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://tastlink.github.io/")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "push-button on the serial port as the Shift key")
set(CPACK_PACKAGE_DESCRIPTION
"Tastlink turns a push-button or foot switch, wired between pin 7 (RTS) and
pin 8 (CTS) of a serial port or USB-serial adapter, into the keyboard's Shift
key for the whole desktop: while the button is held, every program sees Shift
held down.

It sends the key through a uinput keyboard, which works on X11, Wayland and
the text console, with X11's XTest as a fallback. The package's udev rule
gives the user at the seat access to /dev/uinput.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME Tastlink-${PROJECT_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME Tastlink-${PROJECT_VERSION}-win32)
  endif()
  # Beside the ZIP, a setup program of the same files (packaging/windows/
  # tastlink.nsi), built with every build so that the tests can run it.
  find_program(MAKENSIS makensis)
  if(MAKENSIS)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
      set(nsis_target amd64-unicode)
    else()
      set(nsis_target x86-unicode)
    endif()
    set(TASTLINK_SETUP ${CMAKE_BINARY_DIR}/${CPACK_PACKAGE_FILE_NAME}-setup.exe)
    set(texts ${CMAKE_BINARY_DIR}/zip)
    add_custom_command(OUTPUT ${TASTLINK_SETUP}
      COMMAND ${MAKENSIS} -V2 -INPUTCHARSET UTF8 -DVERSION=${PROJECT_VERSION} -DTARGET=${nsis_target}
              "-DPUBLISHER=${CPACK_PACKAGE_VENDOR}"
              -DEXE=$<TARGET_FILE:Tastlink> -DTEXTS=${texts} -DICON=${CMAKE_SOURCE_DIR}/src/main/tastlink.ico
              -DOUTFILE=${TASTLINK_SETUP} ${CMAKE_SOURCE_DIR}/packaging/windows/tastlink.nsi
      DEPENDS Tastlink packaging/windows/tastlink.nsi src/main/tastlink.ico
              ${texts}/LICENSE.txt ${texts}/LIESMICH.txt ${texts}/README.txt
      VERBATIM)
    add_custom_target(setup ALL DEPENDS ${TASTLINK_SETUP})
  else()
    message(WARNING "makensis (nsis) not found: no setup program is built")
  endif()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/debian/postinst ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # Debian's own documents, which a plain `cmake --install` has no use for.
  # Upstream and packager are one, so the package is native and its
  # changelog is changelog.gz, not changelog.Debian.gz.
  set(debian_doc ${CMAKE_BINARY_DIR}/debian-doc)
  file(MAKE_DIRECTORY ${debian_doc})
  file(COPY_FILE ${CMAKE_SOURCE_DIR}/packaging/debian/copyright ${debian_doc}/copyright)
  execute_process(COMMAND gzip -9n INPUT_FILE ${CMAKE_SOURCE_DIR}/packaging/debian/changelog
                  OUTPUT_FILE ${debian_doc}/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    packaging/debian/copyright packaging/debian/changelog)
  set(CPACK_INSTALL_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/debian_doc.cmake)
  set(CPACK_TASTLINK_DEBIAN_DOC ${debian_doc})
  set(CPACK_TASTLINK_DOCDIR ${TASTLINK_DOCDIR})
endif()
include(CPack)
