# Tests of the command-line front end: the display and log channels, the
# console display, the command-line parser, the printers and the program itself.
if(TARGET UpdaterLib)
    ks_add_gtest(cli_log_display_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/UpdaterLib/source/LogDisplayTest.cpp
        LIBS ks::UpdaterLib
        LABELS cli)
endif()

if(TARGET UpdaterApp)
    set(cli_support
        ${PROJECT_SOURCE_DIR}/tests/support/cli_output_compare.cpp
        ${PROJECT_SOURCE_DIR}/tests/support/cli_run_program.cpp)

    ks_add_gtest(cli_command_line_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/app/CommandLineTest.cpp
        LIBS UpdaterApp
        LABELS cli)

    ks_add_gtest(cli_printers_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/app/PrintersTest.cpp
        LIBS UpdaterApp
        LABELS cli)

    ks_add_gtest(cli_display_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/app/CLIDisplayTest.cpp ${cli_support}
        LIBS UpdaterApp util
        LABELS cli)

    ks_add_gtest(cli_program_test
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/app/UpdaterProgramTest.cpp ${cli_support}
        LABELS cli)
    target_compile_definitions(cli_program_test PRIVATE UPDATER_BINARY="$<TARGET_FILE:Updater>")
    add_dependencies(cli_program_test Updater)
endif()
