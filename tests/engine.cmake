# The detection engine: failure history, logon event decoding, the batch walk, the loop and the replay.
tosmire_test(test_failure_history SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_failure_history.cpp)
tosmire_test(test_logon_event SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_logon_event.cpp)
tosmire_test(test_monitor NO_GTEST_MAIN
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_monitor.cpp ${CMAKE_CURRENT_SOURCE_DIR}/child_harness.cpp
             LINK tosmire_netsh_store
             DEPENDS tosmire-ips-sim netsh auditpol TIMEOUT 180)
# The program under test reads the registry's configuration keys, which test_block_burst writes.
set_tests_properties(test_monitor PROPERTIES RESOURCE_LOCK tosmire_parameters_key)
