# Object layer under a hostile peer: replies out of order and interleaved
# with another module's.
if(TARGET modsim)
    ks_add_gtest(devicelib_objlayer_bytes
        SOURCES
            ${CMAKE_CURRENT_LIST_DIR}/source/Entity_bytes_test.cpp
            ${PROJECT_SOURCE_DIR}/tests/support/objlayer_peer.cpp
        LIBS ks::devicelib ks::modsim Threads::Threads
        LABELS devicelib hostile
        TIMEOUT 120)
endif()

# The kept fuzz inputs for bytes from a module, replayed.
ks_add_gtest(devicelib_fuzz_replay_link
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/source/FuzzReplay_link_test.cpp
    LIBS ks::devicelib Threads::Threads
    LABELS devicelib hostile)
target_include_directories(devicelib_fuzz_replay_link PRIVATE ${PROJECT_SOURCE_DIR}/fuzz
    ${PROJECT_SOURCE_DIR}/devicelib/source ${PROJECT_SOURCE_DIR}/devicelib/source/unix)
