# Tests of the update (-U): the upgrade entity against the module simulator in
# this process, and the Updater program end to end against keystrand-sim on
# the emulated USB bus and (root) in a private network namespace pair.
if(TARGET UpdaterLib AND TARGET modsim)
    ks_add_gtest(update_entity_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/UpdaterEntity_test.cpp
                ${PROJECT_SOURCE_DIR}/tests/support/objlayer_peer.cpp
        LIBS ks::UpdaterLib ks::modsim Threads::Threads
        LABELS update
        TIMEOUT 180)
endif()

