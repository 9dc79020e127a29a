# The simulated event log and the evtlog tool.
tosmire_test(test_evtsim_log SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_evtsim_log.cpp TIMEOUT 120)
