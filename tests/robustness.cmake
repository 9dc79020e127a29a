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
