# The Debian packages made from this build tree: contents, man page, rules.
if(TARGET keystrand-sim)
    add_test(NAME packaging_contents
        COMMAND ${KS_ISOLATE} ${CMAKE_CURRENT_LIST_DIR}/package_contents.sh ${PROJECT_BINARY_DIR})
    set_tests_properties(packaging_contents PROPERTIES
        LABELS package TIMEOUT 300 SKIP_RETURN_CODE 77)
endif()
