# fmt (header-only), nlohmann JSON and GoogleTest.
#
# Cross builds stage the two header-only libraries from ORVANET_STAGE_HEADERS_FROM and
# build GoogleTest from ORVANET_GOOGLETEST_SOURCE (the toolchain file sets both). A native
# Windows build finds them as CMake packages (vcpkg: fmt, nlohmann-json, gtest).

# Nothing is formatted by locale ("{:L}"): fmt's locale support alone brings the C++
# runtime's whole locale and stream code into every program. Nor are floating-point
# numbers (log/Format.h refuses them), whose formatting is a third of fmt's code, nor
# 128-bit integers.
set(_fmt_without_locale "FMT_STATIC_THOUSANDS_SEPARATOR=','" FMT_USE_FLOAT=0 FMT_USE_DOUBLE=0
                        FMT_USE_LONG_DOUBLE=0 FMT_USE_INT128=0)
if(ORVANET_STAGE_HEADERS_FROM)
    set(_staged "${CMAKE_BINARY_DIR}/staged/include")
    foreach(_lib fmt nlohmann)
        if(NOT EXISTS "${ORVANET_STAGE_HEADERS_FROM}/${_lib}")
            message(FATAL_ERROR "${ORVANET_STAGE_HEADERS_FROM}/${_lib} is missing: install "
                                "libfmt-dev and nlohmann-json3-dev")
        endif()
        file(COPY "${ORVANET_STAGE_HEADERS_FROM}/${_lib}" DESTINATION "${_staged}")
    endforeach()
    add_library(orvanet_fmt INTERFACE)
    target_include_directories(orvanet_fmt SYSTEM INTERFACE "${_staged}")
    target_compile_definitions(orvanet_fmt INTERFACE FMT_HEADER_ONLY ${_fmt_without_locale})
    add_library(orvanet_json INTERFACE)
    target_include_directories(orvanet_json SYSTEM INTERFACE "${_staged}")
    add_library(fmt::fmt-header-only ALIAS orvanet_fmt)
    add_library(nlohmann_json::nlohmann_json ALIAS orvanet_json)
else()
    find_package(fmt 9 REQUIRED)
    set_property(TARGET fmt::fmt-header-only APPEND PROPERTY INTERFACE_COMPILE_DEFINITIONS
                 ${_fmt_without_locale})
    find_package(nlohmann_json 3.11 REQUIRED)
endif()

if(ORVANET_BUILD_TESTS OR ORVANET_BUILD_BENCH)
    if(ORVANET_GOOGLETEST_SOURCE)
        set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
        set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
        set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
        add_subdirectory("${ORVANET_GOOGLETEST_SOURCE}" "${CMAKE_BINARY_DIR}/googletest"
                         EXCLUDE_FROM_ALL SYSTEM)
        # GoogleTest defines its GTest:: aliases itself.
    else()
        find_package(GTest REQUIRED)
    endif()
endif()
