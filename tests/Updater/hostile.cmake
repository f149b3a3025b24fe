# The store, downloads and command line under hostile input: damaged and
# oversized payloads, build numbers that are none, attributes that cannot be
# read whole, interrupted writes, full or read-only disks, other URL schemes.
if(TARGET UpdaterLib AND TARGET birdwriter)
    ks_add_gtest(bird_whole_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/UpdaterLib/source/BirdFile_whole_test.cpp
        LIBS ks::UpdaterLib ks::birdwriter ZLIB::ZLIB
        LABELS bird hostile TIMEOUT 120)
    ks_add_gtest(store_hostile_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/UpdaterLib/source/Store_hostile_test.cpp
        LIBS ks::UpdaterLib
        LABELS bird hostile TIMEOUT 120)
endif()
if(TARGET UpdaterLib AND TARGET updateserver AND TARGET birdwriter AND TARGET Updater)
    set(hostile_harness ${PROJECT_SOURCE_DIR}/tests/support/updateserver_harness.cpp)
    ks_add_gtest(download_hostile_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/UpdaterLib/source/Download_hostile_test.cpp
                ${hostile_harness}
        LIBS ks::birdwriter ZLIB::ZLIB
        LABELS server hostile TIMEOUT 300)
    add_dependencies(download_hostile_test updateserver Updater)
    # Links the updater library only for the private-tmpfs helper's log capture.
    ks_add_gtest(download_environment_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/UpdaterLib/source/Download_environment_test.cpp
                ${hostile_harness}
        LIBS ks::UpdaterLib ks::birdwriter ZLIB::ZLIB
        LABELS server hostile TIMEOUT 300)
    add_dependencies(download_environment_test updateserver Updater)
endif()
if(TARGET UpdaterApp AND TARGET updateserver AND TARGET birdwriter)
    ks_add_gtest(cli_strict_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/app/CommandLine_strict_test.cpp
                ${PROJECT_SOURCE_DIR}/tests/support/updateserver_harness.cpp
        LIBS UpdaterApp ks::birdwriter
        LABELS cli hostile)
    add_dependencies(cli_strict_test updateserver Updater)
endif()
if(TARGET UpdaterLib)
    # The kept fuzz inputs of the server replies and of the recovery readers,
    # replayed through the fuzz targets' own checks.
    foreach(area server recovery)
        ks_add_gtest(fuzz_replay_${area}_test
            SOURCES ${CMAKE_CURRENT_LIST_DIR}/UpdaterLib/source/FuzzReplay_${area}_test.cpp
            LIBS ks::UpdaterLib
            LABELS ${area} hostile)
        target_include_directories(fuzz_replay_${area}_test PRIVATE ${PROJECT_SOURCE_DIR}/fuzz)
    endforeach()
endif()
