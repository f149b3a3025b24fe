# The i.MX SDP client: its units on a scripted transport and on ptys.
if(TARGET UpdaterLib)
    ks_add_gtest(SDPLoader_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/SDPLoader_test.cpp
        LIBS ks::UpdaterLib
        LABELS imx
        TIMEOUT 120)
endif()
