# Tests of discovery (-D). The real program, and a small probe of the updater
# library (discover_probe), run as the child of the module simulator
# (keystrand-sim): on its emulated USB bus, and with --netns for TCP/IP
# (root). Nothing of the simulator runs in the process under test.
if(TARGET Updater AND TARGET keystrand-sim AND TARGET modsim_usb)
    add_executable(discover_probe ${CMAKE_CURRENT_LIST_DIR}/discover_probe.cpp)
    target_include_directories(discover_probe PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
    target_link_libraries(discover_probe PRIVATE ks::UpdaterLib)
    ks_target_defaults(discover_probe)

    # The programs under test run under umockdev's preload: the same
    # sanitizer settings as the tests of the emulated bus.
    set(discover_env ASAN_OPTIONS=verify_asan_link_order=0
        TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/sim/usb/tsan.supp)

    ks_add_gtest(discover_usb_cli_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/discover_usb_cli_test.cpp
        LABELS discover usb
        TIMEOUT 240
        ENV ${discover_env})
    target_compile_definitions(discover_usb_cli_test PRIVATE
        LIST_TOOL="$<TARGET_FILE:usbbus_list_tool>" PROBE="$<TARGET_FILE:discover_probe>")
    add_dependencies(discover_usb_cli_test Updater keystrand-sim usbbus_list_tool discover_probe)

    ks_add_gtest(discover_netns_cli_test ROOT
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/discover_netns_cli_test.cpp
        LABELS discover
        TIMEOUT 240
        ENV ${discover_env})
    target_compile_definitions(discover_netns_cli_test PRIVATE
        PROBE="$<TARGET_FILE:discover_probe>")
    add_dependencies(discover_netns_cli_test Updater keystrand-sim discover_probe)

    # -D, -B and -G faults: what the user sees, and a store left as it was.
    if(TARGET updateserver AND TARGET birdwriter)
        ks_add_gtest(discover_faults_cli_test ROOT
            SOURCES ${CMAKE_CURRENT_LIST_DIR}/discover_faults_cli_test.cpp
                ${PROJECT_SOURCE_DIR}/tests/support/updateserver_harness.cpp
            LIBS birdwriter
            LABELS discover download
            TIMEOUT 300
            ENV ${discover_env})
        add_dependencies(discover_faults_cli_test Updater keystrand-sim updateserver)
    endif()
endif()
