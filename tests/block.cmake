# Monitor start-up, block decision and the Remote Desktop connection monitor.
tosmire_test(test_block_decision NO_GTEST_MAIN
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_block_decision.cpp ${CMAKE_CURRENT_SOURCE_DIR}/child_harness.cpp
             LINK tosmire_netsh_store
             DEPENDS netsh auditpol evtlog)
tosmire_test(test_startup_rdp NO_GTEST_MAIN
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_startup_rdp.cpp ${CMAKE_CURRENT_SOURCE_DIR}/child_harness.cpp
             LINK tosmire_netsh_store
             DEPENDS netsh auditpol evtlog)
# It reads back the event-source key that start-up registers, which the tests that install,
# remove or clean up the program delete: it takes their lock.
set_tests_properties(test_startup_rdp PROPERTIES RESOURCE_LOCK tosmire_parameters_key)
# Runs the program configured through the registry's Parameters key, which every program
# started in this prefix reads: tests that write that key take this lock.
tosmire_test(test_block_burst NO_GTEST_MAIN
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_block_burst.cpp ${CMAKE_CURRENT_SOURCE_DIR}/child_harness.cpp
             LINK tosmire_netsh_store
             DEPENDS netsh auditpol evtlog tosmire-ips-sim)
set_tests_properties(test_block_burst PROPERTIES RESOURCE_LOCK tosmire_parameters_key)
