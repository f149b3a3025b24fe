# Tests of the simulated update server (sim/updateserver).
if(TARGET updateserver AND TARGET birdwriter)
    ks_add_gtest(updateserver_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/updateserver_test.cpp
                ${PROJECT_SOURCE_DIR}/tests/support/updateserver_harness.cpp
        LIBS ks::birdwriter CURL::libcurl
        LABELS server
        TIMEOUT 120)
    add_dependencies(updateserver_test updateserver)
endif()
