# Tests of discovery (-D): the updater library in-process against the module
# simulator (USB on the emulated bus, TCP/IP in private network namespaces).
if(TARGET UpdaterLib AND TARGET modsim_usb)
    ks_add_gtest(discover_library_test UMOCKDEV ROOT
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/Updater_Discovery_test.cpp
        LIBS ks::UpdaterLib ks::modsim_usb
        LABELS discover
        TIMEOUT 240
        ENV ASAN_OPTIONS=verify_asan_link_order=0)
endif()

# The real program as the child of the module simulator (keystrand-sim): on
# its emulated USB bus, and with --netns for TCP/IP (root).
if(TARGET Updater AND TARGET keystrand-sim AND TARGET modsim_usb)
    ks_add_gtest(discover_usb_cli_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/discover_usb_cli_test.cpp
        LABELS discover usb
        TIMEOUT 240)
    target_compile_definitions(discover_usb_cli_test PRIVATE
        LIST_TOOL="$<TARGET_FILE:usbbus_list_tool>")
    add_dependencies(discover_usb_cli_test Updater keystrand-sim usbbus_list_tool)

    ks_add_gtest(discover_netns_cli_test ROOT
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/discover_netns_cli_test.cpp
        LABELS discover
        TIMEOUT 240)
    add_dependencies(discover_netns_cli_test Updater keystrand-sim)
endif()
