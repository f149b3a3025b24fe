# Tests of recovery through the LPC ROM bootloader: the ISP client on its own
# (scripted chip, and the simulated ROM core in-process), and the real
# program against the simulated ROM on a pty with the simulated update server.
if(TARGET UpdaterLib)
    ks_add_gtest(nxpserial_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/NXPSerial_test.cpp
        LIBS ks::UpdaterLib util
        LABELS recovery)
endif()
