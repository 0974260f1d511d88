find_package(Qt6 REQUIRED COMPONENTS Widgets Test)

add_executable(test_posix test_waiter.cpp test_resolver.cpp test_termios.cpp)
target_include_directories(test_posix PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(test_posix PRIVATE tastlink_posix GTest::gtest_main util)
gtest_discover_tests(test_posix DISCOVERY_MODE PRE_TEST)
