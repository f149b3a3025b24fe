# Tests of BIRD files, attributes files and the local store.
if(TARGET UpdaterLib AND TARGET birdwriter)
    ks_add_gtest(BirdFile_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/BirdFile_test.cpp ${CMAKE_CURRENT_LIST_DIR}/BirdFilePatch_test.cpp
        LIBS ks::UpdaterLib ks::birdwriter ZLIB::ZLIB
        LABELS bird TIMEOUT 120)
    ks_add_gtest(KeyValueStore_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/KeyValueStore_test.cpp
        LIBS ks::UpdaterLib
        LABELS bird)
    ks_add_gtest(UpdaterStore_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/UpdaterStore_test.cpp
        LIBS ks::UpdaterLib ks::birdwriter
        LABELS bird)
endif()
if(TARGET UpdaterLib)
    ks_add_gtest(FuzzReplay_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/FuzzReplay_test.cpp
        LIBS ks::UpdaterLib
        LABELS bird)
    target_include_directories(FuzzReplay_test PRIVATE ${PROJECT_SOURCE_DIR}/fuzz)
endif()
