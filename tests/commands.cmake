# The command runner, the IPsec policy commands, and the simulated netsh and auditpol.
set(COMMANDS_TEST_TOOLS netsh auditpol testprog)
tosmire_test(test_runner NO_GTEST_MAIN
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_runner.cpp ${CMAKE_CURRENT_SOURCE_DIR}/child_harness.cpp
             DEPENDS ${COMMANDS_TEST_TOOLS})
tosmire_test(test_ipsec_policy NO_GTEST_MAIN
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_ipsec_policy.cpp ${CMAKE_CURRENT_SOURCE_DIR}/child_harness.cpp
             LINK tosmire_netsh_store
             DEPENDS ${COMMANDS_TEST_TOOLS})
tosmire_test(test_netsh_sim NO_GTEST_MAIN
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_netsh_sim.cpp ${CMAKE_CURRENT_SOURCE_DIR}/child_harness.cpp
             LINK tosmire_netsh_store
             DEPENDS ${COMMANDS_TEST_TOOLS})
