# Monitor start-up, block decision and the Remote Desktop connection monitor.
tosmire_test(test_block_command SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_block_command.cpp LINK shell32)
