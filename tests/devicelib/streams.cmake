# Byte streams: core, file, socket and serial transports.
ks_add_gtest(devicelib_streams
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/source/qStream_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/source/qStreamsocket_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/source/unix/unix_streamserial_test.cpp
    LIBS ks::devicelib Threads::Threads
    LABELS devicelib streams
    TIMEOUT 60)
