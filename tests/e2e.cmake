# End to end: the real fpflash against fpsim, each scenario in a runtime directory of its own.
# They mostly sleep through the program's fixed waits, so they run well in parallel.
if(TARGET fpflash AND TARGET fpsim)
    set(E2E_SCENARIOS
        complete_update
        no_printer
        third_attempt
        already_in_loader
        silent_firmware
        unscannable_version
        first_crc_fails
        block_rejected_once
        block_never_acknowledged
        flash_states
        flash_failed
        state_write_fails_back
        state_write_fails_gone
        no_return_after_upgrade
        no_return_after_exit
        upgrade_mode_not_written
        exit_answered
        two_printers
        device_busy
        class_dir_open
        bad_size_image
        missing_image
        empty_image
        no_argument)

    set(E2E_DIR ${CMAKE_CURRENT_SOURCE_DIR}/e2e)
    # Every scenario has its transcript and every transcript its scenario.
    file(GLOB E2E_TRANSCRIPTS RELATIVE ${E2E_DIR}/expected ${E2E_DIR}/expected/*.txt)
    foreach(t IN LISTS E2E_TRANSCRIPTS)
        string(REGEX REPLACE "\\.txt$" "" s ${t})
        if(NOT s IN_LIST E2E_SCENARIOS)
            message(FATAL_ERROR "tests/e2e/expected/${t} belongs to no end-to-end scenario")
        endif()
    endforeach()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${E2E_DIR}/expected)

    foreach(s IN LISTS E2E_SCENARIOS)
        set(expected ${E2E_DIR}/expected/${s}.txt)
        if(NOT EXISTS ${expected})
            message(FATAL_ERROR "end-to-end scenario ${s} has no expected transcript ${expected}")
        endif()
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${expected})
        add_test(NAME e2e.${s} COMMAND bash ${E2E_DIR}/run_scenario.sh ${s})
        # The longest scenarios wait out twenty connection attempts after a whole update.
        set_tests_properties(e2e.${s} PROPERTIES
            LABELS e2e
            TIMEOUT 180
            ENVIRONMENT "FPFLASH=$<TARGET_FILE:fpflash>;FPSIM=$<TARGET_FILE:fpsim>")
    endforeach()
endif()

# One whole update under memcheck: no leak, no invalid access.
find_program(VALGRIND valgrind)
if(TARGET fpflash AND TARGET fpsim AND VALGRIND AND NOT FP_SANITIZE)
    add_test(NAME e2e.memcheck_complete_update
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/e2e/run_scenario.sh complete_update)
    set_tests_properties(e2e.memcheck_complete_update PROPERTIES LABELS e2e TIMEOUT 240
        ENVIRONMENT "FPFLASH=${CMAKE_CURRENT_SOURCE_DIR}/e2e/valgrind_fpflash.sh;FPFLASH_REAL=$<TARGET_FILE:fpflash>;FPSIM=$<TARGET_FILE:fpsim>")
endif()
