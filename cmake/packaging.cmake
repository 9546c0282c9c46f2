# Linux: what `cmake --install` puts where, and the Debian package that `make deb` builds from
# the same rules with CPack.
include(GNUInstallDirs)

install(TARGETS fpflash fpsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
set(fp_man_pages fpflash fpsim)
# fpusbd is Linux's (libusb's usbfs).
if(TARGET fpusbd)
    install(TARGETS fpusbd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    # A template, not a rule: the technician fills in the printer's IDs (see fpusbd(1)).
    install(FILES ${CMAKE_SOURCE_DIR}/usbd/fpusbd.rules.in
            DESTINATION ${CMAKE_INSTALL_DATADIR}/fpflash)
    list(APPEND fp_man_pages fpusbd)
endif()

# The pages carry the version, and go in compressed as Debian wants them.
find_program(FP_GZIP gzip)
if(NOT FP_GZIP)
    message(FATAL_ERROR "gzip is needed to install the man pages")
endif()
set(fp_man_files)
foreach(page ${fp_man_pages})
    configure_file(${CMAKE_SOURCE_DIR}/man/${page}.1 ${CMAKE_BINARY_DIR}/man/${page}.1 @ONLY)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.1.gz
                       COMMAND ${FP_GZIP} -9nkf ${page}.1
                       WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/man
                       DEPENDS ${CMAKE_BINARY_DIR}/man/${page}.1
                       VERBATIM)
    list(APPEND fp_man_files ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${fp_man_files})
install(FILES ${fp_man_files} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(FP_PACKAGE_MAINTAINER "fpflash maintainers <fpflash@localhost>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fpflash)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware update of fiscal printers over USB")
set(CPACK_PACKAGE_DESCRIPTION
    "fpflash writes a firmware image into a fiscal printer: it switches the printer\n\
into its loader, sends the image block by block and reads the new firmware's\n\
version. fpusbd publishes the printers on the USB bus for it, through libusb;\n\
fpsim publishes a simulated printer, so that a whole update runs without\n\
hardware.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${FP_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The release's source archive is the commit's git archive (scripts/dist.sh), not CPack's.
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
