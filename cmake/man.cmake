# A program's man page: its template, man/NAME.1, with the OPTIONS the program prints from its
# own tables of options, so that the page lists every option --help lists, in its words.
#   cmake -DPROGRAM=... -DTEMPLATE=... -DOUTPUT=... -DPROJECT_VERSION=... -P man.cmake
execute_process(COMMAND ${PROGRAM} --man-options OUTPUT_VARIABLE OPTIONS RESULT_VARIABLE failed)
if(failed OR OPTIONS STREQUAL "")
    message(FATAL_ERROR "${PROGRAM} --man-options printed no options")
endif()
string(REGEX REPLACE "\n$" "" OPTIONS "${OPTIONS}")
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
