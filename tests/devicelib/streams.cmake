# Byte streams: core, file, socket and serial transports.
ks_add_gtest(devicelib_streams
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/source/qStream_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/source/qStreamsocket_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/source/unix/unix_streamserial_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/source/qStream_wait_test.cpp
        ${PROJECT_SOURCE_DIR}/tests/support/link_peer.cpp
    LIBS ks::devicelib Threads::Threads
    LABELS devicelib streams
    TIMEOUT 60)

# The USB driver and the USB stream through real libusb on the emulated bus
# (umockdev), plus the kernel driver node path on a pseudo-terminal.
if(TARGET ksusb_sim)
    ks_add_gtest(devicelib_usb UMOCKDEV
        SOURCES
            ${CMAKE_CURRENT_LIST_DIR}/source/unix/ksusb_driver_test.cpp
            ${PROJECT_SOURCE_DIR}/tests/support/usbsim_main.cpp
        LIBS ks::devicelib ks::usbsim PkgConfig::LIBUSB Threads::Threads
        LABELS devicelib usb
        TIMEOUT 120)
    target_include_directories(devicelib_usb PRIVATE ${PROJECT_SOURCE_DIR}/devicelib/source/unix)
else()
    add_test(NAME devicelib_usb COMMAND ${PROJECT_SOURCE_DIR}/scripts/skip.sh
        "umockdev development files not found: the emulated USB bus is not built")
    set_tests_properties(devicelib_usb PROPERTIES SKIP_RETURN_CODE 77)
endif()
