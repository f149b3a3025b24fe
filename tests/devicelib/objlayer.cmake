# Object layer of the device library: Link, Module, entities, system class,
# streaming, store slots and factory data. In-process peers for exact bytes
# and faults; the module simulator (sim/module) for the real conversation.
if(TARGET modsim)
    set(objlayer_support ${PROJECT_SOURCE_DIR}/tests/support/objlayer_peer.cpp)

    ks_add_gtest(devicelib_objlayer_link
        SOURCES
            ${CMAKE_CURRENT_LIST_DIR}/source/LocklessQueue_SPSC_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/source/Link_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/source/LinkStreaming_test.cpp
            ${objlayer_support}
        LIBS ks::devicelib ks::modsim Threads::Threads
        LABELS devicelib
        TIMEOUT 120)

    ks_add_gtest(devicelib_objlayer_module
        SOURCES
            ${CMAKE_CURRENT_LIST_DIR}/source/Module_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/source/Module_peer_test.cpp
            ${objlayer_support}
        LIBS ks::devicelib ks::modsim Threads::Threads
        LABELS devicelib
        TIMEOUT 180)

    ks_add_gtest(devicelib_objlayer_store
        SOURCES
            ${CMAKE_CURRENT_LIST_DIR}/source/LinkStore_test.cpp
            ${objlayer_support}
        LIBS ks::devicelib ks::modsim Threads::Threads
        LABELS devicelib
        TIMEOUT 180)

    # Discovery inside a private network namespace made by the test (root).
    ks_add_gtest(devicelib_objlayer_discovery_netns
        SOURCES
            ${CMAKE_CURRENT_LIST_DIR}/source/LinkDiscovery_netns_test.cpp
            ${objlayer_support}
        LIBS ks::devicelib ks::modsim Threads::Threads
        ROOT
        LABELS devicelib
        TIMEOUT 120)
endif()

# Over USB on the emulated bus, the simulator's core behind the device.
if(TARGET modsim AND TARGET ksusb_sim)
    ks_add_gtest(devicelib_objlayer_usb UMOCKDEV
        SOURCES
            ${CMAKE_CURRENT_LIST_DIR}/source/Module_usb_test.cpp
            ${objlayer_support}
            ${PROJECT_SOURCE_DIR}/tests/support/usbsim_main.cpp
        LIBS ks::devicelib ks::modsim ks::usbsim Threads::Threads
        LABELS devicelib usb
        TIMEOUT 120
        ENV ASAN_OPTIONS=verify_asan_link_order=0)
endif()
