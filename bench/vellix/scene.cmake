target_link_libraries(bench_${name} PRIVATE vellix_demo_support)
