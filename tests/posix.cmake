# The Linux platform against scripted drivers on real sockets.
if(TARGET fp_platform AND NOT WIN32)
    find_package(Threads REQUIRED)
    add_executable(posix_tests posix_test.cpp)
    target_link_libraries(posix_tests PRIVATE fp_platform fp_usb GTest::gtest GTest::gtest_main
                          Threads::Threads)
    gtest_discover_tests(posix_tests DISCOVERY_MODE PRE_TEST PROPERTIES LABELS unit)
endif()
