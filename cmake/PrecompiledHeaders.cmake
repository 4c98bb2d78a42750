# Precompiled headers. The platform's, {fmt}'s, GoogleTest's and the standard library's
# headers take most of a translation unit's compile time here (about 2 s of the 3 to 5 s a
# file takes with MinGW-w64's GCC), and nearly every file includes the same ones. Only those
# stable headers are precompiled, never the project's own, so that an edit rebuilds no more
# than it did.
#
# A precompiled header is valid only with the options it was made with (GCC falls back to
# reading the headers and warns, with -Winvalid-pch; Clang refuses it), and src/ builds for
# size, the rest for speed, and the tests add GoogleTest's options: so one header is made per
# set of options, by the target named here the donor, and the targets with the same options
# reuse it rather than each making its own.
option(ORVANET_PRECOMPILED_HEADERS "Precompile the system and library headers most files use" ON)

set(ORVANET_PCH_STANDARD <algorithm> <atomic> <chrono> <cstdint> <cstdio> <filesystem>
                         <functional> <map> <memory> <mutex> <optional> <string>
                         <string_view> <thread> <vector>)

# orvanet_precompile_headers(TARGET HEADERS...): TARGET makes a precompiled header of
# HEADERS, the standard library's and <windows.h> (which every file here includes).
function(orvanet_precompile_headers target)
    if(ORVANET_PRECOMPILED_HEADERS)
        target_precompile_headers(${target} PRIVATE <windows.h> ${ORVANET_PCH_STANDARD} ${ARGN})
    endif()
endfunction()

# orvanet_reuse_precompiled_headers(TARGET DONOR): TARGET, whose options are DONOR's, uses
# DONOR's precompiled header.
function(orvanet_reuse_precompiled_headers target donor)
    if(ORVANET_PRECOMPILED_HEADERS)
        target_precompile_headers(${target} REUSE_FROM ${donor})
    endif()
endfunction()

# orvanet_without_precompiled_headers(SOURCES...): these files of the current folder are
# compiled without the precompiled header. With one, GCC 12 no longer treats the code it
# inlines from the system headers as theirs, and its -O3 flow warnings on std::string's copies
# (-Warray-bounds, -Wstringop-overflow), silent without one, appear in these files for the very
# same code: kept out rather than those warnings turned off.
function(orvanet_without_precompiled_headers)
    set_source_files_properties(${ARGN} PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
endfunction()
