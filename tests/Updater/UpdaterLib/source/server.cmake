# Tests of the update server client (HTTPRequest, UpdateServerRequest,
# base64) and of the download and build-list commands, against the simulated
# update server on loopback.
if(TARGET UpdaterLib)
    ks_add_gtest(base64_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/base64_test.cpp
        LIBS ks::UpdaterLib
        LABELS server)
endif()
if(TARGET UpdaterLib AND TARGET updateserver AND TARGET birdwriter)
    set(KS_SERVER_HARNESS ${PROJECT_SOURCE_DIR}/tests/support/updateserver_harness.cpp)
    ks_add_gtest(server_requests_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/UpdateServerRequest_test.cpp
                ${CMAKE_CURRENT_LIST_DIR}/HTTPRequest_test.cpp
                ${KS_SERVER_HARNESS}
        LIBS ks::UpdaterLib ks::birdwriter
        LABELS server
        TIMEOUT 120)
    add_dependencies(server_requests_test updateserver)
endif()
