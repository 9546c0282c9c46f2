# The simulated printer: its in-process transport, shared with the other in-process suites,
# and its own tests through the program's protocol functions.
if(TARGET fp_sim)
    add_library(fp_sim_inproc STATIC sim_inproc.cpp)
    target_link_libraries(fp_sim_inproc PUBLIC fp_sim fp_fake_platform)

    add_executable(sim_tests sim_test.cpp)
    target_link_libraries(sim_tests PRIVATE fp_sim_inproc fp_image fp_loader fp_usb
                          GTest::gtest_main)
    gtest_discover_tests(sim_tests DISCOVERY_MODE PRE_TEST PROPERTIES LABELS unit)
endif()
