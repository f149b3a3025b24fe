# Tests of the module simulator (sim/module): the core driven by raw bytes, the
# bench and its transports, and the discovery responder in a network namespace.
if(TARGET modsim)
    ks_add_gtest(modsim_core_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/module_link_test.cpp
                ${CMAKE_CURRENT_LIST_DIR}/module_uei_test.cpp
                ${CMAKE_CURRENT_LIST_DIR}/module_upgrade_test.cpp
                ${CMAKE_CURRENT_LIST_DIR}/module_store_test.cpp
                ${CMAKE_CURRENT_LIST_DIR}/module_faults_test.cpp
        LIBS modsim
        LABELS sim TIMEOUT 60)
    ks_add_gtest(modsim_bench_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_test.cpp
                ${CMAKE_CURRENT_LIST_DIR}/bench_config_test.cpp
        LIBS modsim
        LABELS sim TIMEOUT 120
        ENV KS_SIM_PROGRAM=$<TARGET_FILE:keystrand-sim>)
    ks_add_gtest(modsim_discovery_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/discovery_test.cpp
        LIBS modsim
        ROOT LABELS sim TIMEOUT 60)
endif()

# The modules on the emulated USB bus (umockdev).
if(TARGET modsim_usb)
    ks_add_gtest(modsim_usb_test UMOCKDEV
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/usb_test.cpp
                ${PROJECT_SOURCE_DIR}/tests/support/usbsim_main.cpp
        LIBS modsim_usb PkgConfig::LIBUSB
        LABELS sim usb TIMEOUT 120
        ENV ASAN_OPTIONS=verify_asan_link_order=0)
    # The program runs a command as its child on its emulated bus.
    if(TARGET ksusb_sim)
        add_test(NAME modsim_program_usb_child
            COMMAND ${KS_ISOLATE} sh -c
                "out=$(mktemp) && $<TARGET_FILE:keystrand-sim> --module 'u serial=40F5849A model=17 address=4 usb' --module 'v serial=0000BEEF model=22 usb' -- $<TARGET_FILE:usbbus_list_tool> \"$out\" && grep -q '^24ff:0011 40F5849A$' \"$out\" && grep -q '^24ff:0016 0000BEEF$' \"$out\"; rc=$?; rm -f \"$out\"; exit $rc")
        set_tests_properties(modsim_program_usb_child PROPERTIES
            TIMEOUT 60 LABELS "sim;usb;umockdev" ENVIRONMENT "ASAN_OPTIONS=verify_asan_link_order=0")
    endif()
endif()

# The program with --netns: modules in one private namespace, the command in
# another; the command discovers them over UDP and opens their links.
if(TARGET modsim)
    add_executable(modsim_discovery_probe ${CMAKE_CURRENT_LIST_DIR}/discovery_probe.cpp)
    ks_target_defaults(modsim_discovery_probe)
    add_test(NAME modsim_program_netns
        COMMAND ${KS_ISOLATE} sh -c
            "[ \"$(id -u)\" = 0 ] && command -v ip >/dev/null || { echo 'SKIPPED: needs root and iproute2 for network namespaces' >&2; exit 77; }; out=$(mktemp) && $<TARGET_FILE:keystrand-sim> --netns --module 'r serial=40F5849A model=21 address=4 tcp=0' --module 'c1 serial=1 address=6 router=r' --module 'c2 serial=2 address=8 router=r' -- $<TARGET_FILE:modsim_discovery_probe> 10.77.0.1 > \"$out\"; cat \"$out\"; grep -q '^module 40F5849A address=4 port=[0-9]* model=21 from=10.77.0.2$' \"$out\" && grep -q '^sync 04 00 04 00$' \"$out\" && [ $(grep -c ' from=' \"$out\") = 1 ]; rc=$?; rm -f \"$out\"; exit $rc")
    set_tests_properties(modsim_program_netns PROPERTIES
        TIMEOUT 60 SKIP_RETURN_CODE 77 LABELS "sim;root")
    # Killed with SIGKILL, the program leaves nothing of the namespace pair running.
    add_test(NAME modsim_program_netns_sigkill
        COMMAND ${KS_ISOLATE} sh ${CMAKE_CURRENT_LIST_DIR}/netns_sigkill.sh
            $<TARGET_FILE:keystrand-sim>)
    set_tests_properties(modsim_program_netns_sigkill PROPERTIES
        TIMEOUT 60 SKIP_RETURN_CODE 77 LABELS "sim;root")
endif()

# A fleet from one `--modules` statement, every module found by Updater -D.
if(TARGET keystrand-sim AND TARGET Updater)
    foreach(mode usb tcpip)
        add_test(NAME modsim_program_fleet_${mode}
            COMMAND ${KS_ISOLATE} sh ${CMAKE_CURRENT_LIST_DIR}/fleet_discover.sh ${mode}
                $<TARGET_FILE:keystrand-sim> $<TARGET_FILE:Updater>)
        set_tests_properties(modsim_program_fleet_${mode} PROPERTIES
            TIMEOUT 180 SKIP_RETURN_CODE 77 LABELS "sim;discover"
            ENVIRONMENT "ASAN_OPTIONS=verify_asan_link_order=0;TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/sim/usb/tsan.supp")
    endforeach()
    set_tests_properties(modsim_program_fleet_usb PROPERTIES LABELS "sim;usb;umockdev")
    set_tests_properties(modsim_program_fleet_tcpip PROPERTIES LABELS "sim;root")
endif()
