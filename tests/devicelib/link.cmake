# Link engine and discovery.
ks_add_gtest(devicelib_discovery
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/source/unix/unix_discovery_test.cpp
    LIBS ks::devicelib
    LABELS devicelib
    TIMEOUT 60)

# TCP/IP discovery against responders in private network namespaces (root).
ks_add_gtest(devicelib_discovery_netns
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/source/unix/unix_discovery_netns_test.cpp
        ${PROJECT_SOURCE_DIR}/tests/support/link_peer.cpp
    LIBS ks::devicelib
    ROOT
    LABELS devicelib
    TIMEOUT 120)

# USB enumeration through libusb on the emulated bus.
if(TARGET ksusb_sim)
    ks_add_gtest(devicelib_discovery_usb UMOCKDEV
        SOURCES
            ${CMAKE_CURRENT_LIST_DIR}/source/unix/unix_discovery_usb_test.cpp
            ${PROJECT_SOURCE_DIR}/tests/support/usbsim_main.cpp
        LIBS ks::devicelib ks::usbsim
        LABELS devicelib usb
        TIMEOUT 120
        ENV ASAN_OPTIONS=verify_asan_link_order=0
            TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/sim/usb/tsan.supp)
endif()

# The link engine over a socket pair, loopback TCP and a pseudo-terminal.
ks_add_gtest(devicelib_link
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/source/unix/unix_link_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/source/unix/unix_link_tcp_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/source/unix/unix_link_wait_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/source/unix/unix_link_edges_test.cpp
        ${PROJECT_SOURCE_DIR}/tests/support/link_peer.cpp
    LIBS ks::devicelib Threads::Threads
    LABELS devicelib
    TIMEOUT 120)

# Link engine figures (not a test): scripts/bench-link.sh runs it.
add_executable(bench_link
    ${CMAKE_CURRENT_LIST_DIR}/bench/bench_link.cpp
    ${CMAKE_CURRENT_LIST_DIR}/bench/plain_peer.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/link_peer.cpp)
target_include_directories(bench_link PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
target_link_libraries(bench_link PRIVATE ks::devicelib ks_testsupport PkgConfig::LIBUSB
    Threads::Threads)
ks_target_defaults(bench_link)

# USB links through libusb on the emulated bus.
if(TARGET ksusb_sim)
    ks_add_gtest(devicelib_link_usb UMOCKDEV
        SOURCES
            ${CMAKE_CURRENT_LIST_DIR}/source/unix/unix_link_usb_test.cpp
            ${PROJECT_SOURCE_DIR}/tests/support/link_peer.cpp
            ${PROJECT_SOURCE_DIR}/tests/support/usbsim_main.cpp
        LIBS ks::devicelib ks::usbsim Threads::Threads
        LABELS devicelib usb
        TIMEOUT 120
        ENV ASAN_OPTIONS=verify_asan_link_order=0
            TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/sim/usb/tsan.supp)
endif()

# The link engine against the module simulator (resyncs under heartbeats).
if(TARGET modsim)
    ks_add_gtest(devicelib_link_sim
        SOURCES
            ${CMAKE_CURRENT_LIST_DIR}/source/unix/unix_link_sim_test.cpp
            ${PROJECT_SOURCE_DIR}/tests/support/link_peer.cpp
            ${PROJECT_SOURCE_DIR}/tests/support/objlayer_peer.cpp
        LIBS ks::devicelib ks::modsim Threads::Threads
        LABELS devicelib
        TIMEOUT 180)
endif()
