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

