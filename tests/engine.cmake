# The detection engine: failure history, logon event decoding and the batch walk.
tosmire_test(test_failure_history SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_failure_history.cpp)
tosmire_test(test_logon_event SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_logon_event.cpp)
