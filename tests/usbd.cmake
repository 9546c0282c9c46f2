# fpusbd over an emulated USB bus: fpusb-testbed puts the printer model behind usbdevfs in a
# umockdev testbed and runs the real fpusbd, with the real libusb, against it.
if(TARGET fpusbd AND TARGET fp_sim_options)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(UMOCKDEV IMPORTED_TARGET umockdev-1.0)
    if(NOT UMOCKDEV_FOUND)
        message(FATAL_ERROR "the fpusbd tests need umockdev: install libumockdev-dev and "
                            "umockdev (scripts/deps.sh does, run as root)")
    endif()
    add_executable(fpusb-testbed usbd/testbed.cpp)
    target_link_libraries(fpusb-testbed PRIVATE fp_sim_options PkgConfig::UMOCKDEV ${CMAKE_DL_LIBS})
    target_compile_definitions(fpusb-testbed PRIVATE FPUSBD_PATH="$<TARGET_FILE:fpusbd>")
    add_dependencies(fpusb-testbed fpusbd)
    set_target_properties(fpusb-testbed PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
endif()
