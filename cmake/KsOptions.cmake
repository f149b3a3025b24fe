# Compiler warnings and sanitizers as small INTERFACE targets. Every target of
# the project links ks::options privately (ks_target_defaults does it).
if(KS_ASAN AND KS_TSAN)
    message(FATAL_ERROR "KS_ASAN and KS_TSAN cannot be combined")
endif()

add_library(ks_options INTERFACE)
add_library(ks::options ALIAS ks_options)
target_compile_options(ks_options INTERFACE -Wall -Wextra)
if(KS_WERROR)
    target_compile_options(ks_options INTERFACE -Werror)
endif()

# Sanitizers are applied to the whole build so that every object, test and
# simulator is instrumented alike.
if(KS_ASAN)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()
# Fuzzing: coverage instrumentation everywhere; the fuzz targets add the driver.
if(KS_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()
if(KS_TSAN)
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
endif()

function(ks_target_defaults target)
    target_link_libraries(${target} PRIVATE ks::options)
endfunction()
