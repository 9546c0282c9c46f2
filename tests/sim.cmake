# The simulated printer: its in-process transport, shared with the other in-process suites,
# and its own tests through the program's protocol functions.
if(TARGET fp_sim)
    add_executable(sim_tests sim_test.cpp)
    target_link_libraries(sim_tests PRIVATE fp_fake_platform fp_image fp_loader fp_usb
                          GTest::gtest_main)
    gtest_discover_tests(sim_tests DISCOVERY_MODE PRE_TEST PROPERTIES LABELS unit)
endif()
