# The message table of the built program, and the Windows version probe.
tosmire_test(test_catalogue SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_catalogue.cpp LINK version DEPENDS tosmire-ips)
tosmire_test(test_version_probe SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_version_probe.cpp ${TOSMIRE_RESOURCES})

# No simulated module in the release program. Each module's marker is checked against a
# program that links the module, so that a marker the module no longer stores fails here.
set(TOSMIRE_SIM_MARKERS_EVTSIM "event log=TOSMIRE_SIM_DIR" "event log files=Global\\tosmire.evtsim.")
set(TOSMIRE_SIM_MARKERS_NETSH "netsh store=tosmire-sim-tools" "netsh=TOSMIRE_SIM_NETSH_EXIT")
set(TOSMIRE_SIM_MARKERS_AUDITPOL "auditpol=TOSMIRE_SIM_AUDITPOL_EXIT")
# The simulated system folder: the release program takes its system programs from the system's.
set(TOSMIRE_SIM_MARKERS_SYSTEM "system folder=..\\system32\\")
# Markers travel as one argument, separated by "|".
string(JOIN "|" all_markers ${TOSMIRE_SIM_MARKERS_EVTSIM} ${TOSMIRE_SIM_MARKERS_NETSH} ${TOSMIRE_SIM_MARKERS_AUDITPOL}
       ${TOSMIRE_SIM_MARKERS_SYSTEM})
add_test(NAME release_program_has_no_simulated_module
         COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:tosmire-ips> -DEXPECT=absent
                 "-DMARKERS=${all_markers}"
                 -P ${CMAKE_SOURCE_DIR}/tools/hardening/check_markers.cmake)
foreach(control "tosmire-ips-sim;EVTSIM" "netsh;NETSH" "auditpol;AUDITPOL" "tosmire-ips-sim;SYSTEM")
    list(GET control 0 program)
    list(GET control 1 module)
    string(JOIN "|" markers ${TOSMIRE_SIM_MARKERS_${module}})
    string(TOLOWER "${module}" module)
    add_test(NAME simulated_module_markers_${module}_in_${program}
             COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}> -DEXPECT=present
                     "-DMARKERS=${markers}"
                     -P ${CMAKE_SOURCE_DIR}/tools/hardening/check_markers.cmake)
endforeach()
