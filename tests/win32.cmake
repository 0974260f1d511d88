# The Windows test programs, cross-compiled; tests/win32/test_windows.py runs
# them under wine.
set(TASTLINK_INTERPOSER "" CACHE FILEPATH "The Linux build's libmodem_interposer.so, to give wine's COM ports modem lines")
set(TASTLINK_EXE32 "" CACHE FILEPATH "The 32-bit Tastlink.exe: its version record and imports checked, and run under wine32 where the machine can")
set(TASTLINK_INTERPOSER32 "" CACHE FILEPATH "libmodem_interposer.so built for 32 bits, for the 32-bit Tastlink.exe's COM ports")
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
set_tests_properties(windows_under_wine PROPERTIES TIMEOUT 3600 RUN_SERIAL TRUE
  ENVIRONMENT "TASTLINK_WIN_BIN=${CMAKE_BINARY_DIR};TASTLINK_EXE32=${TASTLINK_EXE32};TASTLINK_INTERPOSER=${TASTLINK_INTERPOSER}" SKIP_RETURN_CODE 77)

# The 32-bit program, the one the old machines run, through the same
# end-to-end tests under wine32; skipped (77) where 32-bit programs cannot run.
if(TASTLINK_EXE32)
  add_test(NAME windows_under_wine32
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/win32/wine-namespace.sh python3 -W ignore
            ${CMAKE_CURRENT_SOURCE_DIR}/win32/test_windows.py -v EndToEnd RealSerialLayer Switches)
  set_tests_properties(windows_under_wine32 PROPERTIES TIMEOUT 3600 RUN_SERIAL TRUE SKIP_RETURN_CODE 77
    ENVIRONMENT "TASTLINK_WIN_BIN=${CMAKE_BINARY_DIR};TASTLINK_EXE32=${TASTLINK_EXE32};TASTLINK_RUN_EXE=${TASTLINK_EXE32};TASTLINK_INTERPOSER=${TASTLINK_INTERPOSER32}")
endif()
