# The Windows program (cross-compiled with mingw-w64, see cmake/toolchain-*).
enable_language(RC)
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
# Everything static: the exe imports only DLLs that every Windows has.
add_link_options(-static -static-libgcc -static-libstdc++)

add_library(tastlink_win32 STATIC
  src/window/win32/text.cpp
  src/window/win32/message_loop.cpp
  src/window/win32/form1_win32.cpp
  src/serial/win32/win_error.cpp
  src/serial/win32/comm_line.cpp
  src/serial/win32/file_layer.cpp
  src/serial/win32/device_watch.cpp
  src/keys/win32/keybd_injector.cpp
  src/keys/win32/crash_release.cpp
  src/desktop/win32/user_files.cpp
  src/desktop/win32/tray_icon.cpp
  src/app/win32/write_whole.cpp
  src/app/win32/folder_watch.cpp
  src/window/win32/settings_win32.cpp)
target_link_libraries(tastlink_win32 PUBLIC tastlink_core user32 gdi32 advapi32)
# Runs once at start: built for size rather than speed.
set_source_files_properties(src/desktop/win32/user_files.cpp PROPERTIES COMPILE_OPTIONS -Os)

add_executable(Tastlink WIN32 src/main/main_win32.cpp src/main/win32_app.cpp src/main/tastlink.rc)
# The resource compiler's inputs that no dependency scan sees.
set_source_files_properties(src/main/tastlink.rc PROPERTIES
  OBJECT_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/src/main/tastlink.manifest;${CMAKE_CURRENT_SOURCE_DIR}/src/main/tastlink.ico")
target_link_libraries(Tastlink PRIVATE tastlink_win32)
# Release executables ship without symbols (less than half the size).
target_link_options(Tastlink PRIVATE -municode $<$<CONFIG:Release,MinSizeRel>:-s>)
set_target_properties(Tastlink PROPERTIES OUTPUT_NAME Tastlink)
