# The event record dump, against the simulated Security message files (secmsg, altmsg), which
# the tests register under the Security log's keys: every test that registers them, or needs
# them absent, takes this lock.
tosmire_test(test_event_dump NO_GTEST_MAIN
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_event_dump.cpp ${CMAKE_CURRENT_SOURCE_DIR}/child_harness.cpp
                     ${CMAKE_SOURCE_DIR}/tools/evtlog/logon_events.cpp
             DEPENDS evtlog secmsg altmsg tosmire-ips-sim netsh auditpol TIMEOUT 240)
# It also runs the program, which reads the Parameters key that other tests write.
set_tests_properties(test_event_dump PROPERTIES RESOURCE_LOCK "tosmire_security_messages;tosmire_parameters_key")
# The failure lines' colours, read back from a console under a pseudo-terminal.
tosmire_test(test_event_dump_pty SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_event_dump_pty.cpp NO_GTEST_MAIN PTY
             DEPENDS secmsg TIMEOUT 120)
set_tests_properties(test_event_dump_pty PROPERTIES RESOURCE_LOCK tosmire_security_messages)
