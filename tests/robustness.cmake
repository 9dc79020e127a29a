# Hostile input and hardening: mutated event records, garbage in the configuration values,
# the release program's imports, mitigations and resources, attacker texts on the whole road.
add_test(NAME release_program_hardening
         COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:tosmire-ips> -DOBJDUMP=${CMAKE_OBJDUMP}
                 -DWINDRES=${CMAKE_RC_COMPILER} -P ${CMAKE_SOURCE_DIR}/tools/hardening/check_release.cmake)
set_tests_properties(release_program_hardening PROPERTIES LABELS robustness)

tosmire_test(test_robust_records NO_GTEST_MAIN
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_robust_records.cpp ${CMAKE_CURRENT_SOURCE_DIR}/child_harness.cpp
             LINK tosmire_netsh_store
             DEPENDS netsh evtlog secmsg TIMEOUT 150)
# Registers the simulated Security message files, as the record dump's tests do.
set_tests_properties(test_robust_records PROPERTIES LABELS robustness RESOURCE_LOCK tosmire_security_messages)

tosmire_test(test_robust_registry SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_robust_registry.cpp TIMEOUT 120)
set_tests_properties(test_robust_registry PROPERTIES LABELS robustness)

# Runs the program configured through the registry's Parameters key: see test_block_burst.
tosmire_test(test_hardening NO_GTEST_MAIN
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_hardening.cpp ${CMAKE_CURRENT_SOURCE_DIR}/child_harness.cpp
             LINK tosmire_netsh_store
             DEPENDS netsh auditpol evtlog tosmire-ips-sim TIMEOUT 120)
set_tests_properties(test_hardening PROPERTIES LABELS robustness RESOURCE_LOCK tosmire_parameters_key)

# netsh that fails or is missing, event-log failures through the program, and the limits of
# service names, the executable's path and the failure history. Runs the program, reads the
# default name's event-source key and queries the default service: the configuration lock.
tosmire_test(test_robust_failures NO_GTEST_MAIN
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_robust_failures.cpp ${CMAKE_CURRENT_SOURCE_DIR}/child_harness.cpp
             LINK tosmire_netsh_store
             DEPENDS netsh evtlog auditpol tosmire-ips-sim testprog TIMEOUT 180)
set_tests_properties(test_robust_failures PROPERTIES LABELS robustness RESOURCE_LOCK tosmire_parameters_key)

# An installed test service under pause/continue and stop/start cycles, and the event log's
# connection lost under it: the service tests' lock and fixture (see service.cmake). The longest
# test of all: in a Wine prefix of its own, beside the others.
tosmire_test(test_robust_service NO_GTEST_MAIN
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_robust_service.cpp ${CMAKE_CURRENT_SOURCE_DIR}/child_harness.cpp
             DEPENDS tosmire-ips-sim evtlog netsh auditpol TIMEOUT 300)
set_tests_properties(test_robust_service PROPERTIES LABELS robustness RESOURCE_LOCK tosmire_parameters_key
                     FIXTURES_REQUIRED "wine;tosmire_services" WINE_LANE service COST 80)

# The program's path longer than its buffers: installation refused whole; the monitor refuses
# to start rather than register a cut path as its message file.
foreach(case install module-path)
    add_test(NAME robust_long_path_${case}
             COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/robust_long_path.sh ${CMAKE_CROSSCOMPILING_EMULATOR}
                     $<TARGET_FILE:tosmire-ips-sim> ${case})
    set_tests_properties(robust_long_path_${case} PROPERTIES LABELS robustness FIXTURES_REQUIRED wine TIMEOUT 120
                         RESOURCE_LOCK tosmire_parameters_key)
endforeach()

