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
