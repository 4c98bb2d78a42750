#pragma once

#ifdef _WIN32

#include <windows.h>
#include <fwpmu.h>

#else

// The few platform types a filter's copy holds, with the platform headers' values, so that
// the translation to nftables also builds for a Linux host, where it is fuzzed.
#include <cstdint>
#include <cstring>

using UINT8 = std::uint8_t;
using UINT16 = std::uint16_t;
using UINT32 = std::uint32_t;
using UINT64 = std::uint64_t;
using DWORD = std::uint32_t;
using BOOL = int;
constexpr BOOL FALSE = 0;

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
inline bool operator==(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

enum FWP_DATA_TYPE { FWP_EMPTY = 0, FWP_UINT8, FWP_UINT16, FWP_UINT32, FWP_UINT64 };
enum FWP_MATCH_TYPE { FWP_MATCH_EQUAL = 0, FWP_MATCH_GREATER, FWP_MATCH_LESS };
using FWP_ACTION_TYPE = UINT32;

#endif
