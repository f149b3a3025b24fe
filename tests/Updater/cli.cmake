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

# --json: -D on the emulated USB bus (the Updater as the simulator's child)
# and -B against the simulated update server, read back with a JSON parser.
if(TARGET UpdaterApp AND TARGET keystrand-sim AND TARGET updateserver AND TARGET birdwriter)
    ks_add_gtest(cli_json_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/app/json_cli_test.cpp
            ${PROJECT_SOURCE_DIR}/tests/support/updateserver_harness.cpp
        LIBS UpdaterApp birdwriter nlohmann_json::nlohmann_json
        LABELS cli json
        ENV ASAN_OPTIONS=verify_asan_link_order=0
            TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/sim/usb/tsan.supp)
    target_include_directories(cli_json_test PRIVATE
        ${PROJECT_SOURCE_DIR}/tests/Updater/UpdaterLib/source)
    add_dependencies(cli_json_test Updater keystrand-sim updateserver)
endif()

# Typos and mistakes on the command line: refused, and nothing runs (the
# simulated server sees no request, the simulated module no link).
if(TARGET UpdaterApp AND TARGET keystrand-sim AND TARGET updateserver AND TARGET birdwriter)
    ks_add_gtest(cli_refusals_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/app/command_line_refusals_test.cpp
            ${PROJECT_SOURCE_DIR}/tests/support/updateserver_harness.cpp
        LIBS birdwriter
        LABELS cli
        ENV ASAN_OPTIONS=verify_asan_link_order=0
            TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/sim/usb/tsan.supp)
    target_include_directories(cli_refusals_test PRIVATE
        ${PROJECT_SOURCE_DIR}/tests/Updater/UpdaterLib/source)
    add_dependencies(cli_refusals_test Updater keystrand-sim updateserver)
endif()

# -C and -I end to end: files from the simulators' BIRD writer, a store left
# by a real download from the simulated update server.
if(TARGET UpdaterApp AND TARGET updateserver AND TARGET birdwriter)
    ks_add_gtest(cli_check_info_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/app/check_info_test.cpp
            ${PROJECT_SOURCE_DIR}/tests/support/updateserver_harness.cpp
        LIBS birdwriter nlohmann_json::nlohmann_json
        LABELS cli json)
    add_dependencies(cli_check_info_test Updater updateserver)
endif()
