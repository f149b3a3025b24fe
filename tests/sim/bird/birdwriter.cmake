# Tests of the BIRD writer (sim/bird).
if(TARGET birdwriter)
    ks_add_gtest(birdwriter_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/birdwriter_test.cpp
        LIBS ks::birdwriter ZLIB::ZLIB
        LABELS bird
        ENV BIRDWRITE=$<TARGET_FILE:birdwrite>)
endif()
