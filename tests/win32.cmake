# The Windows test programs, cross-compiled; tests/win32/test_windows.py runs
# them under wine.
set(TASTLINK_INTERPOSER "" CACHE FILEPATH "The Linux build's libmodem_interposer.so, to give wine's COM ports modem lines")
set(TASTLINK_EXE32 "" CACHE FILEPATH "The 32-bit Tastlink.exe: its version record and imports checked, and run under wine32 where the machine can")
if(NOT TARGET GTest::gtest)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()

add_executable(test_core test_handlers.cpp)
target_include_directories(test_core PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(test_core PRIVATE tastlink_core GTest::gtest_main)

add_executable(test_win32 win32/test_win32.cpp win32/icon.rc)
target_include_directories(test_win32 PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(test_win32 PRIVATE tastlink_win32 version GTest::gtest_main)

add_executable(inspect win32/inspect.cpp)
target_link_options(inspect PRIVATE -municode)
target_link_libraries(inspect PRIVATE user32)

add_test(NAME windows_under_wine
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/win32/wine-namespace.sh python3 -W ignore
          ${CMAKE_CURRENT_SOURCE_DIR}/win32/test_windows.py -v)
set_tests_properties(windows_under_wine PROPERTIES TIMEOUT 2400 RUN_SERIAL TRUE
  ENVIRONMENT "TASTLINK_WIN_BIN=${CMAKE_BINARY_DIR};TASTLINK_EXE32=${TASTLINK_EXE32};TASTLINK_INTERPOSER=${TASTLINK_INTERPOSER}" SKIP_RETURN_CODE 77)

# Where the program used to give way (floods, refused events, busy ports, a
# second copy, crashes while pressing), and a short run of the start-up
# stress (tests/win32/stress_starts.py runs it at length).
add_test(NAME windows_hardening_under_wine
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/win32/wine-namespace.sh python3 -W ignore
          ${CMAKE_CURRENT_SOURCE_DIR}/win32/test_hardening.py -v)
add_test(NAME windows_starts_under_wine
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/win32/wine-namespace.sh python3
          ${CMAKE_CURRENT_SOURCE_DIR}/win32/stress_starts.py 10 3)
set_tests_properties(windows_hardening_under_wine windows_starts_under_wine PROPERTIES TIMEOUT 900 RUN_SERIAL TRUE
  ENVIRONMENT "TASTLINK_WIN_BIN=${CMAKE_BINARY_DIR};TASTLINK_INTERPOSER=${TASTLINK_INTERPOSER}" SKIP_RETURN_CODE 77)

# The 32-bit program, the one the old machines run, through the same
# end-to-end tests under wine32 (window, list, reports; its COM ports' modem
# lines do not reach the interposer yet); skipped (77) where 32-bit programs
# cannot run.
if(TASTLINK_EXE32)
  add_test(NAME windows_under_wine32
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/win32/wine-namespace.sh python3 -W ignore
            ${CMAKE_CURRENT_SOURCE_DIR}/win32/test_windows.py -v EndToEnd)
  set_tests_properties(windows_under_wine32 PROPERTIES TIMEOUT 1200 RUN_SERIAL TRUE SKIP_RETURN_CODE 77
    ENVIRONMENT "TASTLINK_WIN_BIN=${CMAKE_BINARY_DIR};TASTLINK_EXE32=${TASTLINK_EXE32};TASTLINK_RUN_EXE=${TASTLINK_EXE32}")
endif()

# The setup programs: this build's run under wine in a prefix of its own (it
# installs and uninstalls), the 32-bit one beside TASTLINK_EXE32 checked.
if(TASTLINK_SETUP)
  set(setup32 "")
  if(TASTLINK_EXE32)
    get_filename_component(exe32_dir ${TASTLINK_EXE32} DIRECTORY)
    set(setup32 ${exe32_dir}/Tastlink-${PROJECT_VERSION}-win32-setup.exe)
  endif()
  add_test(NAME setup_under_wine
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/win32/wine-namespace.sh python3 -W ignore
            ${CMAKE_CURRENT_SOURCE_DIR}/win32/test_installer.py -v)
  set_tests_properties(setup_under_wine PROPERTIES TIMEOUT 900 RUN_SERIAL TRUE SKIP_RETURN_CODE 77
    ENVIRONMENT "TASTLINK_WIN_BIN=${CMAKE_BINARY_DIR};TASTLINK_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix-setup;TASTLINK_SETUP=${TASTLINK_SETUP};TASTLINK_SETUP32=${setup32}")
endif()
