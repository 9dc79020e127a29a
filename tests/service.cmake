# The service host. In-process: time prefix, identity, command line, control handler; once more
# under a POSIX time zone far from UTC (an Olson name would move only Wine's clock, not the C
# runtime's, and hide a local-time mistake).
tosmire_test(test_service_host SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_service_host.cpp TIMEOUT 60)
add_test(NAME test_service_host_tz COMMAND test_service_host --gtest_filter=TimePrefix.*)
set_tests_properties(test_service_host_tz PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 60 ENVIRONMENT "TZ=XYZ-5:45")

# Against Wine's service manager, with the simulated program as a real service. The program
# reads and writes the default name's configuration and event-source keys whatever its service
# name, and one test installs the default name: all share the configuration lock. A service
# finds the simulation folder through HKLM\SOFTWARE\tosmire-evtsim, one value for all: so do
# the tests that run services.
set(SERVICE_TEST_TOOLS tosmire-ips-sim evtlog netsh auditpol testservice)
tosmire_test(test_service_commands NO_GTEST_MAIN
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_service_commands.cpp ${CMAKE_CURRENT_SOURCE_DIR}/child_harness.cpp
             DEPENDS ${SERVICE_TEST_TOOLS} TIMEOUT 180)
tosmire_test(test_service_scm NO_GTEST_MAIN
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_service_scm.cpp ${CMAKE_CURRENT_SOURCE_DIR}/child_harness.cpp
             LINK tosmire_netsh_store DEPENDS ${SERVICE_TEST_TOOLS} TIMEOUT 300)
tosmire_test(test_service_console SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_service_console.cpp
             ${CMAKE_CURRENT_SOURCE_DIR}/child_harness.cpp NO_GTEST_MAIN PTY
             DEPENDS ${SERVICE_TEST_TOOLS} testprog TIMEOUT 180)
set_tests_properties(test_service_commands test_service_scm test_service_console PROPERTIES
                     RESOURCE_LOCK tosmire_parameters_key FIXTURES_REQUIRED "wine;tosmire_services")

# Stops and removes every service of ours left behind, and fails the run if there was one.
tosmire_test(test_service_leftovers SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_service_leftovers.cpp TIMEOUT 120)
set_tests_properties(test_service_leftovers PROPERTIES FIXTURES_CLEANUP tosmire_services
                     RESOURCE_LOCK tosmire_parameters_key)
