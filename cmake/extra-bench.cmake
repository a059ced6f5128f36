# Benchmark programs: built only on request (cmake --build <dir> --target bench_crc32).
add_executable(bench_crc32 EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/bench/crc32.cpp)
target_link_libraries(bench_crc32 PRIVATE archive)
