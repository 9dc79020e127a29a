# Monitor start-up, block decision and the Remote Desktop connection monitor.
tosmire_test(test_block_command SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_block_command.cpp LINK shell32)
tosmire_test(test_block_decision NO_GTEST_MAIN
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_block_decision.cpp ${CMAKE_CURRENT_SOURCE_DIR}/child_harness.cpp
             LINK tosmire_netsh_store
             DEPENDS netsh auditpol)
