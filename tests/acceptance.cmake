# The acceptance suite: the program driven as an administrator drives it, through its letters
# and words, sc, reg, evtlog and the simulated netsh. Under a pseudo-terminal, so that the
# console scenario can type keys into the monitor's console. It runs in a Wine prefix of its own:
# every monitor that starts, in any test, registers the event source tosmire.IPS with its own
# program as the message file, and the Application log is rendered with that file; it also
# installs the default name and registers the simulated Security message files.
tosmire_test(test_acceptance NO_GTEST_MAIN PTY
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_acceptance.cpp ${CMAKE_CURRENT_SOURCE_DIR}/child_harness.cpp
             DEPENDS tosmire-ips-sim evtlog netsh auditpol TIMEOUT 300)
set_tests_properties(test_acceptance PROPERTIES LABELS acceptance WINE_LANE acceptance COST 20
                     RESOURCE_LOCK "tosmire_parameters_key;tosmire_security_messages"
                     FIXTURES_REQUIRED "wine;tosmire_services")
