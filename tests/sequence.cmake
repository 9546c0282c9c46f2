# Every way a run ends, in-process against the simulated printer on the virtual clock.
if(TARGET fp_sim)
    add_executable(sequence_tests sequence_test.cpp)
    target_link_libraries(sequence_tests PRIVATE fp_driver fp_fake_platform GTest::gtest_main)
    gtest_discover_tests(sequence_tests DISCOVERY_MODE PRE_TEST PROPERTIES LABELS unit)
endif()
