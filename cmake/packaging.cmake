# Linux: what `cmake --install` puts where, and the Debian package that `make deb` builds from
# the same rules with CPack.
include(GNUInstallDirs)

install(TARGETS fpflash fpsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
set(fp_programs fpflash fpsim)
set(fp_man_pages fpflash fpsim)
# fpusbd is Linux's (libusb's usbfs).
if(TARGET fpusbd)
    install(TARGETS fpusbd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    list(APPEND fp_programs fpusbd)
    # The systemd user unit that fpusbd --setup's udev rule starts. Its ExecStart names fpusbd
    # where this install puts it, which only the install knows (CPack's prefix is /usr): it is
    # made at install time, just before it is installed.
    install(CODE "
        set(BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
        configure_file(\"${CMAKE_SOURCE_DIR}/usbd/fpusbd.service.in\"
                       \"${CMAKE_BINARY_DIR}/fpusbd.service\" @ONLY)")
    install(FILES ${CMAKE_BINARY_DIR}/fpusbd.service DESTINATION lib/systemd/user)
    list(APPEND fp_man_pages fpusbd)
endif()
# Every printer attached at once, running the fpflash installed beside it.
if(TARGET fpflash-all)
    install(TARGETS fpflash-all RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    list(APPEND fp_programs fpflash-all)
    list(APPEND fp_man_pages fpflash-all)
endif()

# A stripped install (the package's) drops the compiler's notes too, as Debian's strip does.
install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
        foreach(program ${fp_programs})
            execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment
                            --remove-section=.note
                            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\"
                            COMMAND_ERROR_IS_FATAL ANY)
        endforeach()
    endif()")

# The pages carry the version, and go in compressed as Debian wants them. Every page but
# fpflash's (which has no options) has the OPTIONS its program's tables print
# (cmake/man.cmake), so they cannot drift from --help.
find_program(FP_GZIP gzip)
if(NOT FP_GZIP)
    message(FATAL_ERROR "gzip is needed to install the man pages")
endif()
set(fp_man_files)
foreach(page ${fp_man_pages})
    if(page STREQUAL "fpflash")
        configure_file(${CMAKE_SOURCE_DIR}/man/${page}.1 ${CMAKE_BINARY_DIR}/man/${page}.1 @ONLY)
    else()
        add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.1
                           COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${page}>
                                   -DTEMPLATE=${CMAKE_SOURCE_DIR}/man/${page}.1
                                   -DOUTPUT=${CMAKE_BINARY_DIR}/man/${page}.1
                                   -DPROJECT_VERSION=${PROJECT_VERSION}
                                   -P ${CMAKE_SOURCE_DIR}/cmake/man.cmake
                           DEPENDS ${page} ${CMAKE_SOURCE_DIR}/man/${page}.1
                                   ${CMAKE_SOURCE_DIR}/cmake/man.cmake
                           VERBATIM)
    endif()
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.1.gz
                       COMMAND ${FP_GZIP} -9nkf ${page}.1
                       WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/man
                       DEPENDS ${CMAKE_BINARY_DIR}/man/${page}.1
                       VERBATIM)
    list(APPEND fp_man_files ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${fp_man_files})
install(FILES ${fp_man_files} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The one place the package's maintainer is set; `make deb MAINTAINER='Name <address>'` sets
# it for a release. The placeholder is a deliberate lintian error: no package goes out with it
# by accident.
set(FP_PACKAGE_MAINTAINER "fpflash maintainers <fpflash@localhost>"
    CACHE STRING "Maintainer of the Debian package, 'Name <address>'")

# What Debian wants beside the programs: the licence as a machine-readable copyright file and
# a changelog, both from this tree (LICENSE, VERSION) and dated by SOURCE_DATE_EPOCH when set
# (make deb sets the commit's).
set(fp_doc ${CMAKE_BINARY_DIR}/doc)
# The licence's terms are what follows its copyright line.
file(READ ${CMAKE_SOURCE_DIR}/LICENSE fp_licence)
string(FIND "${fp_licence}" "${FP_COPYRIGHT}\n\n" fp_at)
string(LENGTH "${FP_COPYRIGHT}\n\n" fp_length)
math(EXPR fp_at "${fp_at} + ${fp_length}")
string(SUBSTRING "${fp_licence}" ${fp_at} -1 fp_licence)
string(REGEX REPLACE "\n$" "" fp_licence "${fp_licence}")
# Continuation lines start with a space; an empty one is " .".
string(REPLACE "\n" "\n " fp_licence " ${fp_licence}")
string(REPLACE "\n \n" "\n .\n" fp_licence "${fp_licence}")
string(REGEX REPLACE "^Copyright \\(c\\) " "" fp_copyright_entry "${FP_COPYRIGHT}")
file(WRITE ${fp_doc}/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: fpflash\n"
     "\n"
     "Files: *\n"
     "Copyright: ${fp_copyright_entry}\n"
     "License: Expat\n"
     "\n"
     "License: Expat\n"
     "${fp_licence}\n")
string(TIMESTAMP fp_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${fp_doc}/changelog
     "fpflash (${PROJECT_VERSION}) unstable; urgency=medium\n"
     "\n"
     "  * fpflash ${PROJECT_VERSION}.\n"
     "\n"
     " -- ${FP_PACKAGE_MAINTAINER}  ${fp_changelog_date}\n")
add_custom_command(OUTPUT ${fp_doc}/changelog.gz
                   COMMAND ${FP_GZIP} -9nkf changelog
                   WORKING_DIRECTORY ${fp_doc}
                   DEPENDS ${fp_doc}/changelog
                   VERBATIM)
add_custom_target(package_docs ALL DEPENDS ${fp_doc}/changelog.gz)
install(FILES ${fp_doc}/copyright ${fp_doc}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fpflash)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware update of fiscal printers over USB")
set(CPACK_PACKAGE_DESCRIPTION
    "fpflash writes a firmware image into a fiscal printer: it switches the printer\n\
into its loader, sends the image block by block and reads the new firmware's\n\
version. fpusbd publishes the printers on the USB bus for it, through libusb;\n\
fpflash-all updates every printer attached at once; fpsim publishes a\n\
simulated printer, so that a whole update runs without hardware.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${FP_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The purge takes what fpusbd --setup wrote with it. Modes as policy has them, not as the
# checkout's umask left them.
if(TARGET fpusbd)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/usbd/postrm)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
# The release's source archive is the commit's git archive (scripts/dist.sh), not CPack's.
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
