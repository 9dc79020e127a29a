# The simulated event log and the evtlog tool.
tosmire_test(test_evtsim_log SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_evtsim_log.cpp TIMEOUT 120)
tosmire_test(test_evtsim_processes NO_GTEST_MAIN
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_evtsim_processes.cpp ${CMAKE_CURRENT_SOURCE_DIR}/child_harness.cpp
             DEPENDS evtlog tosmire-ips TIMEOUT 180)

# The release program calls the real event log; the simulated build links the simulation.
add_test(NAME release_program_has_no_simulation
         COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:tosmire-ips> -DEXPECT=absent
                 -P ${CMAKE_SOURCE_DIR}/tools/evtsim/check_program.cmake)
add_test(NAME simulated_program_has_simulation
         COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:tosmire-ips-sim> -DEXPECT=present
                 -P ${CMAKE_SOURCE_DIR}/tools/evtsim/check_program.cmake)
