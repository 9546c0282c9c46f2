# Windows tests: the cross-built fpflash.exe under 32-bit Wine. `make test` builds the .exe
# first; the scripts skip (and say why) when it or a working Wine is missing.
set(FP_WIN32_EXE ${CMAKE_SOURCE_DIR}/build/win32/fpflash.exe
    CACHE FILEPATH "The Windows program the win32 tests run under Wine")
set(win32_dir ${CMAKE_CURRENT_SOURCE_DIR}/win32)
set(win32_prefix ${CMAKE_CURRENT_BINARY_DIR}/win32-prefix)

set(win32_scenarios no_argument missing_image wrong_size wildcard_case wildcard_no_match
    empty_image no_printer)

add_test(NAME win32.prefix_setup COMMAND sh ${win32_dir}/prefix.sh setup ${win32_prefix})
add_test(NAME win32.prefix_cleanup COMMAND sh ${win32_dir}/prefix.sh cleanup ${win32_prefix})
set_tests_properties(win32.prefix_setup PROPERTIES FIXTURES_SETUP win32_prefix TIMEOUT 300)
set_tests_properties(win32.prefix_cleanup PROPERTIES FIXTURES_CLEANUP win32_prefix)

foreach(scenario ${win32_scenarios})
    # Expected transcripts are fixtures: a missing one stops the configuration.
    if(NOT EXISTS ${win32_dir}/${scenario}.out)
        message(FATAL_ERROR "missing expected transcript tests/win32/${scenario}.out")
    endif()
    add_test(NAME win32.${scenario}
             COMMAND sh ${win32_dir}/run.sh ${scenario} ${FP_WIN32_EXE} ${win32_prefix})
    set_tests_properties(win32.${scenario} PROPERTIES FIXTURES_REQUIRED win32_prefix
                         TIMEOUT 120)
endforeach()

add_test(NAME win32.imports COMMAND sh ${win32_dir}/imports.sh ${FP_WIN32_EXE})

get_property(win32_tests DIRECTORY PROPERTY TESTS)
list(FILTER win32_tests INCLUDE REGEX "^win32\\.")
set_tests_properties(${win32_tests} PROPERTIES LABELS win32 SKIP_RETURN_CODE 77)
