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

# The program end to end on the emulated USB bus: keystrand-sim runs the
# Updater as its child. Every case is a ctest test of its own, so the slow
# ones (they wait for the product's own bounds: 15 reconnection attempts after
# LOAD, 30 s after REBOOT) run beside the others.
if(TARGET UpdaterLib AND TARGET modsim_usb AND TARGET updateserver AND TARGET birdwriter)
    set(update_cli_support
        ${CMAKE_CURRENT_LIST_DIR}/update_cli_support.cpp
        ${PROJECT_SOURCE_DIR}/tests/support/updateserver_harness.cpp)
    ks_add_gtest(update_usb_cli_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/update_usb_cli_test.cpp ${update_cli_support}
        LIBS ks::birdwriter
        LABELS update usb
        TIMEOUT 400
        ENV TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/sim/usb/tsan.supp)
    add_dependencies(update_usb_cli_test Updater keystrand-sim updateserver)
endif()

# -U's fault matrix: each fault end to end, what the user sees, the store and
# the module's bytes; USB rows on the emulated bus, TCP/IP rows (root) in a
# private network namespace pair.
if(TARGET UpdaterLib AND TARGET modsim_usb AND TARGET birdwriter)
    ks_add_gtest(update_fault_cli_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/update_fault_cli_test.cpp
                ${CMAKE_CURRENT_LIST_DIR}/update_cli_support.cpp
        LIBS ks::birdwriter
        LABELS update usb
        TIMEOUT 400
        ENV TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/sim/usb/tsan.supp)
    add_dependencies(update_fault_cli_test Updater Updater-testhooks keystrand-sim)
endif()

# The program end to end over TCP/IP in a private network namespace pair
# (root; skipped with 77 otherwise).
if(TARGET UpdaterLib AND TARGET modsim AND TARGET birdwriter)
    ks_add_gtest(update_netns_cli_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/update_netns_cli_test.cpp
                ${CMAKE_CURRENT_LIST_DIR}/update_cli_support.cpp
        LIBS ks::birdwriter
        ROOT
        LABELS update
        TIMEOUT 300)
    add_dependencies(update_netns_cli_test Updater keystrand-sim)
endif()

# The real length of the link's 1 ms pause (not a test): scripts/bench-update.sh.
add_executable(bench_pause ${PROJECT_SOURCE_DIR}/tests/Updater/UpdaterLib/bench/bench_pause.cpp)
ks_target_defaults(bench_pause)

# -U for many modules at once (-d LIST): eight modules on USB and TCP/IP (two
# behind a router) in the private network namespace pair (root).
if(TARGET UpdaterLib AND TARGET modsim_usb AND TARGET updateserver AND TARGET birdwriter)
    ks_add_gtest(fleet_cli_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/fleet_cli_test.cpp
                ${CMAKE_CURRENT_LIST_DIR}/update_cli_support.cpp
                ${PROJECT_SOURCE_DIR}/tests/support/updateserver_harness.cpp
        LIBS ks::birdwriter
        ROOT
        LABELS update usb fleet
        TIMEOUT 600
        ENV TSAN_OPTIONS=suppressions=${CMAKE_BINARY_DIR}/fleet_tsan.supp)
    add_dependencies(fleet_cli_test Updater Updater-testhooks keystrand-sim updateserver)
    # One suppressions file for the processes of the test: the USB bus's,
    # then the fleet's own (descriptor numbers reused across threads).
    file(READ ${PROJECT_SOURCE_DIR}/sim/usb/tsan.supp usb_supp)
    file(READ ${CMAKE_CURRENT_LIST_DIR}/fleet_tsan.supp fleet_supp)
    file(WRITE ${CMAKE_BINARY_DIR}/fleet_tsan.supp "${usb_supp}${fleet_supp}")
endif()
