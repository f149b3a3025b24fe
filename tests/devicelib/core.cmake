# Device library core: error codes, versions, model names and OS services.
ks_add_gtest(devicelib_core_tables
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/source/qError_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/source/qVersion_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/source/qDefs_test.cpp
    LIBS ks::devicelib
    LABELS devicelib
    TIMEOUT 60)

ks_add_gtest(devicelib_core_files
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/source/unix/unix_file_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/source/qDirectory_test.cpp
    LIBS ks::devicelib
    LABELS devicelib
    TIMEOUT 60)

ks_add_gtest(devicelib_core_sync
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/source/unix/unix_time_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/source/unix/unix_mutex_test.cpp
    LIBS ks::devicelib Threads::Threads
    LABELS devicelib
    TIMEOUT 60)
target_include_directories(devicelib_core_sync PRIVATE ${PROJECT_SOURCE_DIR}/devicelib/source/unix)

# Packets, byte order helpers and packet queues.
ks_add_gtest(devicelib_packets
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/source/qPacket_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/source/unix/unix_packetfifo_test.cpp
    LIBS ks::devicelib Threads::Threads
    LABELS devicelib
    TIMEOUT 120)
target_include_directories(devicelib_packets PRIVATE ${PROJECT_SOURCE_DIR}/devicelib/source/unix)

# Packet log ring, link packet debugging and the logger thread.
ks_add_gtest(devicelib_packetlog
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/source/qPacketDebug_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/source/qLogger_test.cpp
    LIBS ks::devicelib Threads::Threads
    LABELS devicelib
    TIMEOUT 120)
