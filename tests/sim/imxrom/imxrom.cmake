# The i.MX ROM simulator's protocol core.
if(TARGET imxromsim)
    ks_add_gtest(imxrom_core_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/imxrom_test.cpp
        LIBS ks::imxromsim
        LABELS sim imx TIMEOUT 60)
endif()
