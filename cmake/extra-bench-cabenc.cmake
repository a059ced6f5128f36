# Cabinet encoder benchmark (LZX, Quantum beside MSZIP): built only on request
# (--target bench_cabenc); bench/cabenc-bench.sh runs it on the corpus.
add_executable(bench_cabenc EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/bench/cabenc.cpp)
target_link_libraries(bench_cabenc PRIVATE archive)
