# Deflate engine comparison (zlib against libdeflate on whole files, and a kept zlib stream
# against a fresh one per block): built only on request (--target bench_deflate_engines);
# bench/gz-bench.sh runs it on the corpus.
add_executable(bench_deflate_engines EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/bench/deflate-engines.cpp)
target_link_libraries(bench_deflate_engines PRIVATE archive)
# One writer (.gz, .tgz, MSZIP cabinet) at a given worker count, for bench/gz-bench.sh.
add_executable(bench_pdeflate EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/bench/pdeflate.cpp)
target_link_libraries(bench_pdeflate PRIVATE archive)
