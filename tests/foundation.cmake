# The message table of the built program, and the Windows version probe.
tosmire_test(test_catalogue SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_catalogue.cpp LINK version DEPENDS tosmire-ips)
tosmire_test(test_version_probe SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_version_probe.cpp ${TOSMIRE_RESOURCES})
