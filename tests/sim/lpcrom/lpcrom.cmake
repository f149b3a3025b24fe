# Tests of the simulated LPC17xx boot ROM (sim/lpcrom): the core with raw
# bytes on a fake clock.
if(TARGET lpcrom)
    ks_add_gtest(lpcrom_core_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/lpcrom_test.cpp
        LIBS ks::lpcrom
        LABELS sim recovery TIMEOUT 60)
endif()
if(TARGET modsim)
    ks_add_gtest(lpcrom_bench_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/lpcrom_bench_test.cpp
        LIBS ks::modsim
        LABELS sim recovery TIMEOUT 60)
endif()
