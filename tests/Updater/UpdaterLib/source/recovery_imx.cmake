# -N and -U -t RECOVER for i.MX chips end to end: the Updater as the child of
# keystrand-sim, whose dead module's ROM is on the emulated USB bus or a pty,
# and the simulated update server. One case (Slow*) waits out the product's
# own bound: 15 looks, about a second apart, for a live loader that never
# comes up.
if(TARGET UpdaterLib AND TARGET modsim_usb AND TARGET updateserver AND TARGET birdwriter)
    ks_add_gtest(recover_imx_cli_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/recover_imx_cli_test.cpp
                ${CMAKE_CURRENT_LIST_DIR}/update_cli_support.cpp
                ${PROJECT_SOURCE_DIR}/tests/support/updateserver_harness.cpp
        LIBS ks::birdwriter
        LABELS recovery imx usb
        TIMEOUT 300
        ENV TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/sim/usb/tsan.supp)
    add_dependencies(recover_imx_cli_test Updater keystrand-sim updateserver)
endif()
