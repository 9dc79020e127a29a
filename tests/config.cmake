# The configuration store against the registry of the test prefix, and the listings.
tosmire_test(test_config NO_GTEST_MAIN
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_config.cpp ${CMAKE_CURRENT_SOURCE_DIR}/child_harness.cpp)
