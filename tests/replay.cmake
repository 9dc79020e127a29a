# The program's whole output for a fixed set of records, byte for byte against
# tests/data/replay_expected.bin, which is copied beside the test program. It registers the
# simulated Security message files and writes the Parameters key that the program reads.
tosmire_test(test_output_replay NO_GTEST_MAIN
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_output_replay.cpp ${CMAKE_CURRENT_SOURCE_DIR}/child_harness.cpp
             DEPENDS evtlog secmsg tosmire-ips-sim netsh auditpol TIMEOUT 240)
# Copied at configure time, which runs again whenever the file changes.
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/data/replay_expected.bin ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/replay_expected.bin
               COPYONLY)
# The kept output holds local times: the test and the programs it starts run in UTC, whatever
# the machine's time zone.
set_tests_properties(test_output_replay PROPERTIES RESOURCE_LOCK "tosmire_security_messages;tosmire_parameters_key"
                     ENVIRONMENT "TZ=UTC0")
