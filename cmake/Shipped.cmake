# orvanet_shipped_binary(TARGET): what a binary that ships (or stands in for one that does)
# gets beyond the ordinary build.
#
# - Sections page-aligned in the file. With the usual 512-byte file alignment the loader
#   cannot map an image from its file, so Wine reads the whole image into private memory
#   and every page of it stays in the working set; page-aligned, the image is mapped and
#   only the pages in use are resident.
# - In release builds the binary is stripped after linking, and what was stripped (debug
#   sections and symbol table) kept beside it as NAME.debug, named in the binary by a
#   .gnu_debuglink section, for reading crash dumps and module+offset lines. Whatever
#   packages the target file (packaging/, scripts/make-msi.sh) takes the stripped one.
function(orvanet_shipped_binary target)
    if(MSVC)
        # PDBs are separate already, and link.exe aligns sections to pages in the file.
        return()
    endif()
    target_link_options(${target} PRIVATE -Wl,--file-alignment,4096)
    if(CMAKE_BUILD_TYPE MATCHES "^(Release|MinSizeRel)$" AND CMAKE_OBJCOPY)
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND "${CMAKE_OBJCOPY}" --only-keep-debug "$<TARGET_FILE_NAME:${target}>"
                    "$<TARGET_FILE_NAME:${target}>.debug"
            COMMAND "${CMAKE_OBJCOPY}" --strip-all
                    "--add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug"
                    "$<TARGET_FILE_NAME:${target}>"
            WORKING_DIRECTORY "$<TARGET_FILE_DIR:${target}>"
            COMMENT "Stripping ${target}, its symbols kept beside it in a .debug file"
            VERBATIM)
    endif()
endfunction()
