# Windows end to end: fpflash.exe under Wine against the simulated printer, through a test-only
# kernel driver in a private prefix per scenario (tests/win32/driver, tests/win32/e2e/run.sh),
# which reaches fpsim over TCP.
# The 32-bit program is the product; the 64-bit build runs the same scenarios where the kernel
# cannot start 32-bit Wine. Each skips (77) and says why when its .exe or Wine is missing.
if(TARGET fpsim)
    set(win_e2e_scenarios complete_update third_attempt block_rejected_once
        state_write_fails_back no_printer)
    foreach(arch win32 win64)
        foreach(s ${win_e2e_scenarios})
            add_test(NAME ${arch}-e2e.${s}
                     COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/win32/e2e/run.sh ${s}
                             ${CMAKE_SOURCE_DIR}/build/${arch}/fpflash.exe
                             $<TARGET_FILE:fpsim> ${arch})
            # A fresh prefix takes up to a minute on a busy machine; no_printer then waits
            # out twenty attempts.
            set_tests_properties(${arch}-e2e.${s} PROPERTIES LABELS win32-e2e
                                 SKIP_RETURN_CODE 77 TIMEOUT 300)
        endforeach()
    endforeach()
endif()
