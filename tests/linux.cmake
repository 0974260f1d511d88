find_package(Qt6 REQUIRED COMPONENTS Widgets Test)

add_executable(test_linux test_waiter.cpp test_resolver.cpp test_termios.cpp test_faults.cpp test_settings_file.cpp)
target_include_directories(test_linux PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(test_linux PRIVATE tastlink_linux GTest::gtest_main util)
gtest_discover_tests(test_linux DISCOVERY_MODE PRE_TEST)

add_executable(test_window_qt test_window_qt.cpp)
target_link_libraries(test_window_qt PRIVATE tastlink_qt Qt6::Test GTest::gtest)
gtest_discover_tests(test_window_qt DISCOVERY_MODE PRE_TEST)


add_executable(test_injectors test_injectors.cpp)
target_link_libraries(test_injectors PRIVATE tastlink_linux GTest::gtest_main)
gtest_discover_tests(test_injectors DISCOVERY_MODE PRE_TEST PROPERTIES LABELS x11 RESOURCE_LOCK xserver)

find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME e2e_linux COMMAND Python3::Interpreter -W ignore ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_linux_e2e.py -v)
set_tests_properties(e2e_linux PROPERTIES LABELS "x11;e2e" TIMEOUT 1200 RESOURCE_LOCK xserver
  ENVIRONMENT "TASTLINK_SIM=$<TARGET_FILE:tastlink-sim>;TASTLINK_BIN=$<TARGET_FILE:tastlink>")

# The settings window, read and driven through AT-SPI as a screen reader
# does: Debian's pyatspi belongs to the system's Python, on a bus of its own.
find_program(SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(DBUS_RUN_SESSION dbus-run-session)
if(SYSTEM_PYTHON AND DBUS_RUN_SESSION)
  add_test(NAME e2e_settings COMMAND ${DBUS_RUN_SESSION} -- ${SYSTEM_PYTHON} -W ignore
    ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_settings_e2e.py -v)
  set_tests_properties(e2e_settings PROPERTIES LABELS "x11;e2e" TIMEOUT 300 RESOURCE_LOCK xserver
    ENVIRONMENT "TASTLINK_SIM=$<TARGET_FILE:tastlink-sim>")
endif()

# Hardware in the loop: a VM with the real 8250 driver, uinput and evdev.
# (Not in sanitizer builds: the guest agent is a static program.)
if(NOT TASTLINK_SANITIZE AND NOT TASTLINK_TSAN)
  add_library(modem_interposer SHARED hil/modem_interposer.c)
  target_link_libraries(modem_interposer PRIVATE dl)
  add_executable(guest_agent hil/guest_agent.c)
  target_link_options(guest_agent PRIVATE -static)
  target_link_libraries(guest_agent PRIVATE Threads::Threads)
  add_test(NAME hil_vm COMMAND Python3::Interpreter -W ignore ${CMAKE_CURRENT_SOURCE_DIR}/hil/test_hil.py -v)
  set_tests_properties(hil_vm PROPERTIES LABELS hil TIMEOUT 1800 SKIP_RETURN_CODE 77
    ENVIRONMENT "TASTLINK_BIN=$<TARGET_FILE:tastlink>;HIL_AGENT=$<TARGET_FILE:guest_agent>;HIL_INTERPOSER=$<TARGET_FILE:modem_interposer>;HIL_MKINITRAMFS=${CMAKE_CURRENT_SOURCE_DIR}/hil/make_initramfs.sh")
endif()
if(TARGET modem_interposer)
  set_property(TEST e2e_linux APPEND PROPERTY ENVIRONMENT "TASTLINK_INTERPOSER=$<TARGET_FILE:modem_interposer>")
endif()
