# The configuration store against the registry of the test prefix, and the listings.
tosmire_test(test_config SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_config.cpp NO_GTEST_MAIN)
