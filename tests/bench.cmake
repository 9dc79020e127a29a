# The benchmark's stamping object: which waits mark a record's arrival, what reaches the shared
# mapping at CreateProcessW, and that both calls still do what the system's do.
tosmire_test(test_bench_stamps
             SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_bench_stamps.cpp ${CMAKE_SOURCE_DIR}/tools/bench_block/bench_stamps.cpp
             DEPENDS testprog TIMEOUT 120)
