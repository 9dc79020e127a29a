# The acceptance suite: the program driven as an administrator drives it, through its letters
# and words, sc, reg, evtlog and the simulated netsh. Under a pseudo-terminal, so that the
# console scenario can type keys into the monitor's console. Its services and the default
# name's configuration are shared with the service tests: the same lock.
tosmire_test(test_acceptance NO_GTEST_MAIN PTY
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_acceptance.cpp ${CMAKE_CURRENT_SOURCE_DIR}/child_harness.cpp
             DEPENDS tosmire-ips-sim evtlog netsh auditpol TIMEOUT 300)
set_tests_properties(test_acceptance PROPERTIES LABELS acceptance RESOURCE_LOCK tosmire_parameters_key
                     FIXTURES_REQUIRED "wine;tosmire_services")
