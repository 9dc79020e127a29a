# Idle behaviour of the simulated event log's change notification.
tosmire_test(test_evtsim_notify NO_GTEST_MAIN
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_evtsim_notify.cpp ${CMAKE_CURRENT_SOURCE_DIR}/child_harness.cpp
             DEPENDS evtlog TIMEOUT 120)
