# Deflate64 decoding benchmark: built only on request (--target bench_deflate64).
add_executable(bench_deflate64 EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/bench/deflate64.cpp)
target_link_libraries(bench_deflate64 PRIVATE archive)
