find_package(Qt6 REQUIRED COMPONENTS Widgets Test)

add_executable(test_linux test_waiter.cpp test_resolver.cpp test_termios.cpp test_faults.cpp)
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
set_tests_properties(e2e_linux PROPERTIES LABELS "x11;e2e" TIMEOUT 1800 RESOURCE_LOCK xserver
  ENVIRONMENT "TASTLINK_SIM=$<TARGET_FILE:tastlink-sim>;TASTLINK_BIN=$<TARGET_FILE:tastlink>")

# Hardware in the loop: a VM with the real 8250 driver, uinput and evdev.
# (Not in sanitizer builds: the guest agent is a static program.)
if(NOT TASTLINK_SANITIZE AND NOT TASTLINK_TSAN)
  add_library(modem_interposer SHARED hil/modem_interposer.c)
  target_link_libraries(modem_interposer PRIVATE dl)
  add_executable(guest_agent hil/guest_agent.c)
  target_link_options(guest_agent PRIVATE -static)
  target_link_libraries(guest_agent PRIVATE Threads::Threads)
  # The same for 32-bit programs (wine32 running the 32-bit Tastlink.exe),
  # where the compiler can build them.
  include(CheckCSourceCompiles)
  unset(TASTLINK_CAN_M32 CACHE)  # asked again: gcc-multilib may have come since
  set(CMAKE_REQUIRED_FLAGS -m32)
  check_c_source_compiles("int main(void) { return 0; }" TASTLINK_CAN_M32)
  unset(CMAKE_REQUIRED_FLAGS)
  if(TASTLINK_CAN_M32)
    add_library(modem_interposer32 SHARED hil/modem_interposer.c)
    target_compile_options(modem_interposer32 PRIVATE -m32)
    target_link_options(modem_interposer32 PRIVATE -m32)
    target_link_libraries(modem_interposer32 PRIVATE dl)
  endif()
  add_test(NAME hil_vm COMMAND Python3::Interpreter -W ignore ${CMAKE_CURRENT_SOURCE_DIR}/hil/test_hil.py -v)
  set_tests_properties(hil_vm PROPERTIES LABELS hil TIMEOUT 2700 SKIP_RETURN_CODE 77
    ENVIRONMENT "TASTLINK_BIN=$<TARGET_FILE:tastlink>;HIL_AGENT=$<TARGET_FILE:guest_agent>;HIL_INTERPOSER=$<TARGET_FILE:modem_interposer>;HIL_MKINITRAMFS=${CMAKE_CURRENT_SOURCE_DIR}/hil/make_initramfs.sh")
endif()
