# Tests of the module simulator (sim/module): the core driven by raw bytes, the
# bench and its transports, and the discovery responder in a network namespace.
if(TARGET modsim)
    ks_add_gtest(modsim_core_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/module_link_test.cpp
                ${CMAKE_CURRENT_LIST_DIR}/module_uei_test.cpp
                ${CMAKE_CURRENT_LIST_DIR}/module_upgrade_test.cpp
                ${CMAKE_CURRENT_LIST_DIR}/module_store_test.cpp
                ${CMAKE_CURRENT_LIST_DIR}/module_faults_test.cpp
        LIBS modsim
        LABELS sim TIMEOUT 60)
    ks_add_gtest(modsim_bench_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_test.cpp
                ${CMAKE_CURRENT_LIST_DIR}/bench_config_test.cpp
        LIBS modsim
        LABELS sim TIMEOUT 120
        ENV KS_SIM_PROGRAM=$<TARGET_FILE:keystrand-sim>)
    ks_add_gtest(modsim_discovery_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/discovery_test.cpp
        LIBS modsim
        ROOT LABELS sim TIMEOUT 60)
endif()
