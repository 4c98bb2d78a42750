# Second cross toolchain: Clang and lld for the same 64-bit MinGW-w64 target, against
# MinGW-w64's headers and libraries and GCC 12's posix-thread libstdc++ (so that the code
# meets a second compiler's diagnostics with the very runtime the GCC build ships).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw_root /usr/x86_64-w64-mingw32)
set(_gcc_dir /usr/lib/gcc/x86_64-w64-mingw32/12-posix)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_RC_COMPILER llvm-windres-14)
set(CMAKE_AR llvm-ar-14 CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB llvm-ranlib-14 CACHE FILEPATH "Archive indexer")

# Without a sysroot Clang's MinGW driver takes /usr as the base and puts /usr/include (glibc)
# and the host's libstdc++ on the path; the sysroot keeps it on MinGW-w64's tree alone.
set(_target_flags "--sysroot=${_mingw_root}")
# Clang does not find the Debian GCC's "12-posix" folder by itself: name its libstdc++.
set(_libstdcxx_flags
    "-isystem ${_gcc_dir}/include/c++ -isystem ${_gcc_dir}/include/c++/x86_64-w64-mingw32 -isystem ${_gcc_dir}/include/c++/backward")
set(CMAKE_C_FLAGS_INIT "${_target_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_target_flags} ${_libstdcxx_flags}")
# The preprocessor llvm-windres runs is Clang too: the same sysroot.
set(CMAKE_RC_FLAGS_INIT "--preprocessor-arg=--sysroot=${_mingw_root}")

# Static runtime as in the GCC build; libstdc++'s posix threads need winpthread, which GCC's
# specs add by themselves and Clang's driver does not (lld resolves archives in any order).
set(_link_flags "-fuse-ld=lld ${_target_flags} -static -L${_gcc_dir} -lpthread")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_link_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_link_flags}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_link_flags}")

set(CMAKE_FIND_ROOT_PATH ${_mingw_root})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# As in the GCC toolchain file: the header-only libraries are staged into the build tree
# from Debian's host packages, never read from /usr/include itself.
set(ORVANET_STAGE_HEADERS_FROM /usr/include CACHE PATH "Folder holding fmt/ and nlohmann/")
set(ORVANET_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(ORVANET_RUN_UNDER_WINE ON CACHE BOOL "Run the test executables through Wine")
