# Release tests: the resources of the Windows program, two identical runs of make dist, the
# Linux install and the Debian package. `make test` runs them on their own, after the rest:
# they build, and the package test installs into the system.
if(NOT DEFINED FP_WIN32_EXE)
    message(FATAL_ERROR "tests/release.cmake needs FP_WIN32_EXE from tests/win32.cmake")
endif()
set(release_dir ${CMAKE_CURRENT_SOURCE_DIR}/release)

add_test(NAME release.exe_resources
         COMMAND python3 ${release_dir}/exe_check.py ${FP_WIN32_EXE} ${CMAKE_SOURCE_DIR}/VERSION)
add_test(NAME release.reproducible COMMAND sh ${release_dir}/dist_check.sh ${CMAKE_SOURCE_DIR})
foreach(mode install deb)
    add_test(NAME release.${mode}
             COMMAND sh ${release_dir}/package.sh ${mode} ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
endforeach()
set_tests_properties(release.exe_resources release.reproducible release.install release.deb
                     PROPERTIES LABELS release SKIP_RETURN_CODE 77 TIMEOUT 600)
