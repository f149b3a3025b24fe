# Tests of the command-line front end: the display and log channels, the
# console display, the command-line parser, the printers and the program itself.
if(TARGET UpdaterLib)
    ks_add_gtest(cli_log_display_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/UpdaterLib/source/LogDisplayTest.cpp
        LIBS ks::UpdaterLib
        LABELS cli)
endif()

if(TARGET UpdaterApp)
    ks_add_gtest(cli_command_line_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/app/CommandLineTest.cpp
        LIBS UpdaterApp
        LABELS cli)

    ks_add_gtest(cli_printers_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/app/PrintersTest.cpp
        LIBS UpdaterApp
        LABELS cli)

    ks_add_gtest(cli_display_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/app/CLIDisplayTest.cpp
        LIBS UpdaterApp util
        LABELS cli)

    ks_add_gtest(cli_program_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/app/UpdaterProgramTest.cpp
        LABELS cli)
    target_compile_definitions(cli_program_test PRIVATE UPDATER_BINARY="$<TARGET_FILE:Updater>")
    add_dependencies(cli_program_test Updater)

    # The program with its test hooks (tests/support/updater_testhooks.cpp):
    # for tests only, never installed. kstest::UpdaterTestHooksPath() names it.
    add_executable(Updater-testhooks
        ${PROJECT_SOURCE_DIR}/Updater/app/main.cpp
        ${PROJECT_SOURCE_DIR}/tests/support/updater_testhooks.cpp)
    target_link_libraries(Updater-testhooks PRIVATE UpdaterApp)
    ks_product_defaults(Updater-testhooks)
endif()

# The real Updater as the child of the module simulator, with the simulated
# update server: --json (-D on the emulated USB bus, -B, read back with a JSON
# parser), and the table of mistyped command lines, each refused with nothing
# run (the server sees no request, the module no link). -C and -I end to end
# on files from the simulators' BIRD writer and a store left by a download.
if(TARGET UpdaterApp AND TARGET keystrand-sim AND TARGET updateserver AND TARGET birdwriter)
    foreach(name_source IN ITEMS cli_json_test:json_cli_test cli_refusals_test:command_line_refusals_test
                                 cli_check_info_test:check_info_test)
        string(REPLACE ":" ";" pair ${name_source})
        list(GET pair 0 name)
        list(GET pair 1 source)
        ks_add_gtest(${name}
            SOURCES ${CMAKE_CURRENT_LIST_DIR}/app/${source}.cpp
                ${PROJECT_SOURCE_DIR}/tests/support/updateserver_harness.cpp
            LIBS UpdaterApp birdwriter nlohmann_json::nlohmann_json
            LABELS cli json
            ENV ASAN_OPTIONS=verify_asan_link_order=0
                TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/sim/usb/tsan.supp)
        target_include_directories(${name} PRIVATE
            ${PROJECT_SOURCE_DIR}/tests/Updater/UpdaterLib/source)
        add_dependencies(${name} Updater keystrand-sim updateserver)
    endforeach()
endif()
