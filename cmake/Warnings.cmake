# Warning flags for the project's own targets, per compiler.
add_library(orvanet_options INTERFACE)
target_compile_definitions(orvanet_options INTERFACE
    WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE _WIN32_WINNT=0x0A00 WINVER=0x0A00)
if(MSVC)
    target_compile_options(orvanet_options INTERFACE /W4 /permissive- /utf-8 /EHsc)
else()
    target_compile_options(orvanet_options INTERFACE -Wall -Wextra -Wpedantic -Wno-missing-field-initializers)
    if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        # Checks the lock discipline stated by the annotations of src/vpn/LockAnnotations.h.
        target_compile_options(orvanet_options INTERFACE -Wthread-safety)
    endif()
endif()

# A build that must stay warning-free (the Clang build step) fails on the first warning.
option(ORVANET_WARNINGS_AS_ERRORS "Treat warnings in the project's own code as errors" OFF)
if(ORVANET_WARNINGS_AS_ERRORS)
    target_compile_options(orvanet_options INTERFACE $<IF:$<BOOL:${MSVC}>,/WX,-Werror>)
endif()
