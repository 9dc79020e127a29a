# Operator letters, the key console and the control callback. The letters act on the default
# service name and its configuration keys: these tests take the lock of the tests that do so.
tosmire_test(test_operator NO_GTEST_MAIN
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_operator.cpp ${CMAKE_CURRENT_SOURCE_DIR}/child_harness.cpp
             LINK tosmire_netsh_store
             DEPENDS tosmire-ips-sim netsh auditpol evtlog regedit TIMEOUT 180)
set_tests_properties(test_operator PROPERTIES RESOURCE_LOCK tosmire_parameters_key FIXTURES_REQUIRED "wine;tosmire_services")
tosmire_test(test_key_console NO_GTEST_MAIN PTY
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_key_console.cpp ${CMAKE_CURRENT_SOURCE_DIR}/child_harness.cpp
             DEPENDS tosmire-ips-sim netsh auditpol evtlog TIMEOUT 180)
set_tests_properties(test_key_console PROPERTIES RESOURCE_LOCK tosmire_parameters_key FIXTURES_REQUIRED "wine;tosmire_services")
# One operator session typed into a terminal while failures arrive.
add_test(NAME operator_session
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/operator_session.sh ${CMAKE_CROSSCOMPILING_EMULATOR} ${CMAKE_BINARY_DIR}/bin/sim)
set_tests_properties(operator_session PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 90 RESOURCE_LOCK tosmire_parameters_key)
