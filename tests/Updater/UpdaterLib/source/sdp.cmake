# The i.MX SDP client: its units on a scripted transport and on ptys.
if(TARGET UpdaterLib)
    ks_add_gtest(SDPLoader_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/SDPLoader_test.cpp
        LIBS ks::UpdaterLib
        LABELS imx
        TIMEOUT 120)
endif()

# The client against the i.MX ROM simulator: HID on the emulated USB bus, a
# pty paced at 115200 baud, the loader found on USB by the device library;
# and a host that talks to the ROM through libusb.
if(TARGET UpdaterLib AND TARGET modsim_usb)
    ks_add_gtest(SDPLoader_sim_test UMOCKDEV
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/SDPLoader_sim_test.cpp
                ${PROJECT_SOURCE_DIR}/tests/support/usbsim_main.cpp
        LIBS ks::UpdaterLib ks::modsim_usb ks::usbsim PkgConfig::LIBUSB
        LABELS imx usb sim
        TIMEOUT 240
        ENV ASAN_OPTIONS=verify_asan_link_order=0)
    add_dependencies(SDPLoader_sim_test keystrand-sim)
endif()
