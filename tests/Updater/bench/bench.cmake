# Router walk figures (not a test): scripts/bench-discover.sh runs it.
if(TARGET UpdaterLib)
    add_executable(bench_discover ${CMAKE_CURRENT_LIST_DIR}/bench_discover.cpp)
    target_include_directories(bench_discover PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
    target_link_libraries(bench_discover PRIVATE ks::UpdaterLib)
    ks_target_defaults(bench_discover)
endif()
