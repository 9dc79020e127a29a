# Hostile input and hardening: mutated event records, garbage in the configuration values,
# the release program's imports, mitigations and resources, attacker texts on the whole road.
add_test(NAME release_program_hardening
         COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:tosmire-ips> -DOBJDUMP=${CMAKE_OBJDUMP}
                 -DWINDRES=${CMAKE_RC_COMPILER} -P ${CMAKE_SOURCE_DIR}/tools/hardening/check_release.cmake)
set_tests_properties(release_program_hardening PROPERTIES LABELS robustness)
