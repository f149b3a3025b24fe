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
if(TARGET UpdaterLib AND TARGET updateserver AND TARGET birdwriter)
    ks_add_gtest(download_operation_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/Updater_Download_test.cpp ${KS_SERVER_HARNESS}
        LIBS ks::UpdaterLib ks::birdwriter
        LABELS server
        TIMEOUT 120)
    add_dependencies(download_operation_test updateserver)

    # The real program end to end (and with its test hooks, for the stall limit).
    ks_add_gtest(download_cli_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/download_cli_test.cpp ${KS_SERVER_HARNESS}
        LIBS ks::birdwriter
        LABELS server
        TIMEOUT 300)
    add_dependencies(download_cli_test updateserver Updater Updater-testhooks)
endif()
