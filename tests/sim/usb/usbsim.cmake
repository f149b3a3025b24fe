# Tests of the emulated USB bus (run under umockdev-wrapper).
if(TARGET ksusb_sim)
    add_executable(usbbus_list_tool ${CMAKE_CURRENT_LIST_DIR}/usbbus_list_tool.cpp)
    target_link_libraries(usbbus_list_tool PRIVATE PkgConfig::LIBUSB)
    ks_target_defaults(usbbus_list_tool)
    add_executable(usbbus_busy_tool ${CMAKE_CURRENT_LIST_DIR}/usbbus_busy_tool.cpp)
    target_link_libraries(usbbus_busy_tool PRIVATE PkgConfig::LIBUSB)
    ks_target_defaults(usbbus_busy_tool)

    ks_add_gtest(usbbus_test UMOCKDEV
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/usbbus_test.cpp
                ${PROJECT_SOURCE_DIR}/tests/support/usbsim_main.cpp
        LIBS ks::usbsim PkgConfig::LIBUSB
        LABELS usb
        TIMEOUT 120)
    target_compile_definitions(usbbus_test PRIVATE
        USBSIM_LIST_TOOL="$<TARGET_FILE:usbbus_list_tool>"
        USBSIM_BUSY_TOOL="$<TARGET_FILE:usbbus_busy_tool>")
    add_dependencies(usbbus_test usbbus_list_tool usbbus_busy_tool)
else()
    add_test(NAME usbbus_test COMMAND ${PROJECT_SOURCE_DIR}/scripts/skip.sh
        "umockdev development files not found: the emulated USB bus is not built")
    set_tests_properties(usbbus_test PROPERTIES SKIP_RETURN_CODE 77)
endif()

# The runner must restart itself under the preload and show its modules to
# the command it runs.
if(TARGET ksusb-simrun)
    add_test(NAME usbsim_run_lists_modules
        COMMAND ${KS_ISOLATE} sh -c "out=$(mktemp) && \"$0\" --device 1234ABCD:0042 --device 00000001 -- \"$1\" \"$out\" && sort \"$out\" > \"$out.s\" && printf '1d6b:0002 0000:00:14.0\\n24ff:0010 00000001\\n24ff:0042 1234ABCD\\n' | diff - \"$out.s\"; rc=$?; rm -f \"$out\" \"$out.s\"; exit $rc"
            $<TARGET_FILE:ksusb-simrun> $<TARGET_FILE:usbbus_list_tool>)
    set_tests_properties(usbsim_run_lists_modules PROPERTIES
        TIMEOUT 60 LABELS "usb;umockdev")
endif()

# HID devices on the bus, and the bus as hidapi, lsusb and udevadm see it.
if(TARGET ksusb_sim)
    ks_add_gtest(hidbus_test UMOCKDEV
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/hidbus_test.cpp
                ${PROJECT_SOURCE_DIR}/tests/support/usbsim_main.cpp
        LIBS ks::usbsim PkgConfig::HIDAPI
        LABELS usb
        TIMEOUT 120)
endif()
