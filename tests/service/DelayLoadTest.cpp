// Calls into libraries loaded on first use, as the service makes them for the WFP client and
// IP Helper: the library is loaded by the first call, not at start, and a missing library or
// function makes the call fail with a status, logged once, instead of raising an exception.
#include "support/DebugCapture.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <iphlpapi.h>

#include <functional>
#include <string>
#include <vector>

extern "C" {
// orvanet-absent.dll (tests/service/delayload/orvanet-absent.def) exists nowhere.
DWORD WINAPI orvanetAbsentFirst(int value);
DWORD WINAPI orvanetAbsentSecond(const char* text, int value);
// version.dll (tests/service/delayload/version.def) has no such function.
DWORD WINAPI OrvanetAbsentFunction();
}

namespace {

TEST(DelayLoadTest, TheLibraryIsLoadedByTheFirstCallIntoIt) {
    ASSERT_EQ(nullptr, GetModuleHandleW(L"iphlpapi.dll")) << "loaded before its first call";
    NET_LUID luid{};
    NET_IFINDEX index = 0;
    ConvertInterfaceLuidToIndex(&luid, &index);
    EXPECT_NE(nullptr, GetModuleHandleW(L"iphlpapi.dll"));
}

TEST(DelayLoadTest, AMissingLibraryOrFunctionFailsTheCallAndIsLoggedOnce) {
    const struct {
        const char* what;
        std::function<DWORD()> call;
        DWORD status;
        std::vector<LogLine> lines; // of the first call; later calls log nothing
    } cases[] = {
        {"missing library",
         [] { return orvanetAbsentFirst(1); },
         ERROR_MOD_NOT_FOUND,
         {{"ERROR", "Failed to load orvanet-absent.dll on first use: error 126"}}},
        {"another function of the missing library",
         [] { return orvanetAbsentSecond("x", 2); },
         ERROR_MOD_NOT_FOUND,
         {}},
        {"missing function",
         [] { return OrvanetAbsentFunction(); },
         ERROR_PROC_NOT_FOUND,
         {{"ERROR", "version.dll has no function OrvanetAbsentFunction"}}},
    };
    for (const auto& c : cases) {
        DebugCapture capture;
        EXPECT_EQ(c.status, c.call()) << c.what;
        EXPECT_EQ(c.lines, capturedLines(capture)) << c.what;
        capture.clear();
        EXPECT_EQ(c.status, c.call()) << c.what << ", called again";
        EXPECT_TRUE(capturedLines(capture).empty()) << c.what << ", called again";
    }
}

} // namespace
