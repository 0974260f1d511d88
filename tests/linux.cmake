find_package(Qt6 REQUIRED COMPONENTS Widgets Test)

add_executable(test_posix test_waiter.cpp test_resolver.cpp test_termios.cpp)
target_include_directories(test_posix PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(test_posix PRIVATE tastlink_posix GTest::gtest_main util)
gtest_discover_tests(test_posix DISCOVERY_MODE PRE_TEST)

add_executable(test_window_qt test_window_qt.cpp)
target_link_libraries(test_window_qt PRIVATE tastlink_qt Qt6::Test GTest::gtest_main)
gtest_discover_tests(test_window_qt DISCOVERY_MODE PRE_TEST PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")

# The program with simulated serial ports, driven by the end-to-end tests.
add_executable(tastlink-sim sim/sim_main.cpp)
target_include_directories(tastlink-sim PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(tastlink-sim PRIVATE tastlink_qt tastlink_posix)
