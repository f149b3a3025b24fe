# Compiler warnings and sanitizers as small INTERFACE targets, linked
# privately by every target of the project through ks_target_defaults (and,
# for product code, ks_product_defaults). No global flag strings.
if(KS_ASAN AND KS_TSAN)
    message(FATAL_ERROR "KS_ASAN and KS_TSAN cannot be combined")
endif()

# Warnings for everything the project compiles.
add_library(ks_warnings INTERFACE)
target_compile_options(ks_warnings INTERFACE -Wall -Wextra)
if(KS_WERROR)
    target_compile_options(ks_warnings INTERFACE -Werror)
endif()

# The stricter set for the product (device library, updater library, program).
add_library(ks_strict_warnings INTERFACE)
target_compile_options(ks_strict_warnings INTERFACE
    -Wshadow -Wconversion -Wsign-conversion -Wold-style-cast -Wnon-virtual-dtor)

# Sanitizers: every project target is instrumented alike, so that objects,
# tests and simulators share one runtime.
add_library(ks_sanitizers INTERFACE)
if(KS_ASAN)
    target_compile_options(ks_sanitizers INTERFACE
        -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(ks_sanitizers INTERFACE -fsanitize=address,undefined)
endif()
if(KS_TSAN)
    target_compile_options(ks_sanitizers INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
    target_link_options(ks_sanitizers INTERFACE -fsanitize=thread)
endif()
# Fuzzing: coverage instrumentation everywhere; the fuzz targets add the driver.
if(KS_FUZZ)
    target_compile_options(ks_sanitizers INTERFACE -fsanitize=fuzzer-no-link)
endif()

add_library(ks_options INTERFACE)
add_library(ks::options ALIAS ks_options)
target_link_libraries(ks_options INTERFACE ks_warnings ks_sanitizers)

function(ks_target_defaults target)
    target_link_libraries(${target} PRIVATE ks::options)
endfunction()

# Product targets: the defaults plus the stricter warnings.
function(ks_product_defaults target)
    ks_target_defaults(${target})
    target_link_libraries(${target} PRIVATE ks_strict_warnings)
endfunction()
