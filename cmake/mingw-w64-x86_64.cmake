# Cross toolchain: 64-bit Windows through MinGW-w64 with the posix thread model
# (std::thread needs it). The C++ runtime and winpthread are linked statically so
# that the executables need no MinGW DLLs beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Debian ships fmt, nlohmann JSON and the GoogleTest sources for the build host only.
# The header-only libraries are staged into the build tree (never put /usr/include on
# this compiler's path: glibc's headers would shadow MinGW's), GoogleTest is built from
# its sources for the target.
set(ORVANET_STAGE_HEADERS_FROM /usr/include CACHE PATH "Folder holding fmt/ and nlohmann/")
set(ORVANET_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(ORVANET_RUN_UNDER_WINE ON CACHE BOOL "Run the test executables through Wine")
