# Tests of recovery through the LPC ROM bootloader: the ISP client on its own
# (scripted chip, and the simulated ROM core in-process), and the real
# program against the simulated ROM on a pty with the simulated update server.
if(TARGET UpdaterLib)
    ks_add_gtest(nxpserial_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/NXPSerial_test.cpp
        LIBS ks::UpdaterLib util
        LABELS recovery)
endif()
if(TARGET UpdaterLib AND TARGET lpcrom)
    ks_add_gtest(nxpserial_rom_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/NXPSerial_chip_test.cpp
        LIBS ks::UpdaterLib ks::lpcrom
        LABELS recovery TIMEOUT 120)
endif()
if(TARGET Updater AND TARGET modsim AND TARGET updateserver AND TARGET birdwriter)
    ks_add_gtest(recover_cli_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/recover_cli_test.cpp
                ${PROJECT_SOURCE_DIR}/tests/support/updateserver_harness.cpp
        LIBS ks::modsim ks::birdwriter
        LABELS recovery sim TIMEOUT 300)
    add_dependencies(recover_cli_test Updater updateserver)
endif()
