# Warning flags for the project's own targets, per compiler.
add_library(orvanet_options INTERFACE)
target_compile_definitions(orvanet_options INTERFACE
    WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE _WIN32_WINNT=0x0A00 WINVER=0x0A00)
if(MSVC)
    target_compile_options(orvanet_options INTERFACE /W4 /permissive- /utf-8 /EHsc)
else()
    target_compile_options(orvanet_options INTERFACE -Wall -Wextra -Wpedantic -Wno-missing-field-initializers)
endif()
