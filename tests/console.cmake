# Console and log output: colour rule, format_text and the log file without a console; colours,
# output switching and attached consoles on a console under a pseudo-terminal.
# test_console starts testprog, which prints into the same output as the test's child.
tosmire_test(test_console SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_console.cpp NO_GTEST_MAIN DEPENDS testprog TIMEOUT 120)
tosmire_test(test_console_pty SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_console_pty.cpp NO_GTEST_MAIN PTY TIMEOUT 120)
