# Windows tests: the cross-built fpflash.exe under Wine. `make test` builds the .exe files
# first; the scripts skip (and say why) when an .exe or a working Wine is missing.
#
# win32.* run the shipped 32-bit program under 32-bit Wine. A kernel without IA-32 emulation
# can't start 32-bit Wine at all, so win64.* run a 64-bit build of the same sources under
# 64-bit Wine: the same scenarios and transcripts, through the same Windows calls.
set(FP_WIN32_EXE ${CMAKE_SOURCE_DIR}/build/win32/fpflash.exe
    CACHE FILEPATH "The Windows program the win32 tests run under Wine")
set(FP_WIN64_EXE ${CMAKE_SOURCE_DIR}/build/win64/fpflash.exe
    CACHE FILEPATH "The 64-bit build the win64 tests run under 64-bit Wine")
set(win32_dir ${CMAKE_CURRENT_SOURCE_DIR}/win32)

set(win32_scenarios no_argument missing_image wrong_size wildcard_case wildcard_no_match
    empty_image no_printer)
foreach(scenario ${win32_scenarios})
    # Expected transcripts are fixtures: a missing one stops the configuration.
    if(NOT EXISTS ${win32_dir}/${scenario}.out)
        message(FATAL_ERROR "missing expected transcript tests/win32/${scenario}.out")
    endif()
endforeach()

# flavour: test name prefix; exe; wine loader; WINEARCH
function(fp_wine_tests flavour exe wine arch)
    set(prefix ${CMAKE_CURRENT_BINARY_DIR}/${flavour}-prefix)
    set(env FP_WINE=${wine} FP_WINEARCH=${arch})
    add_test(NAME ${flavour}.prefix_setup COMMAND sh ${win32_dir}/prefix.sh setup ${prefix})
    add_test(NAME ${flavour}.prefix_cleanup COMMAND sh ${win32_dir}/prefix.sh cleanup ${prefix})
    set_tests_properties(${flavour}.prefix_setup PROPERTIES FIXTURES_SETUP ${flavour}_prefix
                         TIMEOUT 300 ENVIRONMENT "${env}")
    set_tests_properties(${flavour}.prefix_cleanup PROPERTIES FIXTURES_CLEANUP ${flavour}_prefix
                         ENVIRONMENT "${env}")
    foreach(scenario ${win32_scenarios})
        add_test(NAME ${flavour}.${scenario}
                 COMMAND sh ${win32_dir}/run.sh ${scenario} ${exe} ${prefix})
        set_tests_properties(${flavour}.${scenario} PROPERTIES FIXTURES_REQUIRED ${flavour}_prefix
                             TIMEOUT 120 ENVIRONMENT "${env}")
    endforeach()
endfunction()

fp_wine_tests(win32 ${FP_WIN32_EXE} wine win32)
fp_wine_tests(win64 ${FP_WIN64_EXE} /usr/lib/wine/wine64 win64)

add_test(NAME win32.imports COMMAND sh ${win32_dir}/imports.sh ${FP_WIN32_EXE})

get_property(wine_tests DIRECTORY PROPERTY TESTS)
list(FILTER wine_tests INCLUDE REGEX "^win(32|64)\\.")
set_tests_properties(${wine_tests} PROPERTIES LABELS win32 SKIP_RETURN_CODE 77)
