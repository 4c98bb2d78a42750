# orvanet_delay_load(TARGET DLL DEF): TARGET loads DLL at its first call into it rather than
# when the process starts, so that a service that idles does not carry a library it only
# needs once it is asked to work. DEF lists the functions TARGET calls, and the import
# library is made from it: for GNU ld a delay import library (dlltool), for lld one of the
# short kind (llvm-dlltool), which lld delays itself, as link.exe does with lib.exe's.
#
# The loading is done by the runtime's __delayLoadHelper2; what happens when the library or a
# function is missing is the executable's own choice (src/service/DelayLoadFailure.cpp).
function(orvanet_delay_load target dll def)
    get_filename_component(_name "${dll}" NAME_WE)
    set(_lib "${CMAKE_CURRENT_BINARY_DIR}/lib${_name}_delay.a")
    if(MSVC)
        set(_lib "${CMAKE_CURRENT_BINARY_DIR}/${_name}_delay.lib")
        set(_make "${CMAKE_AR}" /NOLOGO "/DEF:${def}" "/OUT:${_lib}" /MACHINE:X64)
        target_link_options(${target} PRIVATE "/DELAYLOAD:${dll}")
        target_link_libraries(${target} PRIVATE delayimp)
    elseif(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        # lld delays only the imports of a short import library, which llvm-dlltool makes;
        # MinGW-w64's own import libraries are of the long kind.
        set(_make "${CMAKE_DLLTOOL}" -m i386:x86-64 -d "${def}" -D "${dll}" -l "${_lib}")
        target_link_options(${target} PRIVATE "-Wl,--delayload=${dll}")
    else()
        set(_make "${CMAKE_DLLTOOL}" --input-def "${def}" --dllname "${dll}"
                  --output-delaylib "${_lib}")
    endif()
    add_custom_command(OUTPUT "${_lib}"
        COMMAND ${_make}
        DEPENDS "${def}"
        COMMENT "Delay import library for ${dll}"
        VERBATIM)
    add_custom_target(${target}_delay_${_name} DEPENDS "${_lib}")
    add_dependencies(${target} ${target}_delay_${_name})
    target_link_libraries(${target} PRIVATE "${_lib}")
endfunction()
