# The fault matrix: one test per row of tests/e2e/faults.table, the real fpflash against fpsim
# with one fault each. Labelled e2e to run in parallel with the conformance scenarios.
if(TARGET fpflash AND TARGET fpsim)
    set(FAULTS_TABLE ${CMAKE_CURRENT_SOURCE_DIR}/e2e/faults.table)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${FAULTS_TABLE})
    file(STRINGS ${FAULTS_TABLE} FAULT_ROWS REGEX "^[a-z]")
    foreach(row IN LISTS FAULT_ROWS)
        string(REGEX MATCH "^([a-z0-9_]+) *[|] *([0-9]+)" matched "${row}")
        set(fault ${CMAKE_MATCH_1})
        # Roughly its seconds, so that a parallel run starts the long ones first.
        math(EXPR cost "${CMAKE_MATCH_2} / 20 + 20")
        add_test(NAME faults.${fault}
                 COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/e2e/faults.sh ${fault})
        # The 4096-record image alone pauses close to three minutes.
        set_tests_properties(faults.${fault} PROPERTIES
            LABELS e2e
            TIMEOUT 400
            COST ${cost}
            ENVIRONMENT "FPFLASH=$<TARGET_FILE:fpflash>;FPSIM=$<TARGET_FILE:fpsim>")
    endforeach()
endif()
