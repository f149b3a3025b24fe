# -N and -U -t RECOVER for i.MX chips end to end: the Updater as the child of
# keystrand-sim, whose dead module's ROM is on the emulated USB bus or a pty,
# and the simulated update server. The case that waits out the product's own
# bound (15 looks for a live loader that never comes) runs as a test of its
# own.
if(TARGET UpdaterLib AND TARGET modsim_usb AND TARGET updateserver AND TARGET birdwriter)
    ks_add_gtest(recover_imx_cli_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/recover_imx_cli_test.cpp
                ${CMAKE_CURRENT_LIST_DIR}/update_cli_support.cpp
                ${PROJECT_SOURCE_DIR}/tests/support/updateserver_harness.cpp
        LIBS ks::birdwriter
        LABELS recovery imx usb
        TIMEOUT 400
        ENV GTEST_FILTER=-*Slow*
            TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/sim/usb/tsan.supp)
    add_dependencies(recover_imx_cli_test Updater keystrand-sim updateserver)
    add_test(NAME recover_imx_cli_slow_test
        COMMAND ${KS_ISOLATE} $<TARGET_FILE:recover_imx_cli_test>)
    set_tests_properties(recover_imx_cli_slow_test PROPERTIES
        TIMEOUT 300
        SKIP_RETURN_CODE 77
        LABELS "recovery;imx;usb;slow"
        ENVIRONMENT "KS_SOURCE_DIR=${PROJECT_SOURCE_DIR};KS_BINARY_DIR=${PROJECT_BINARY_DIR};GTEST_FILTER=*Slow*;TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/sim/usb/tsan.supp")
endif()
