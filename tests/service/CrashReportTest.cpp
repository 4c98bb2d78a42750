// The crash report's last line and dump name, made without allocating; the fault itself is
// tried end to end (tests/e2e/whole_service.sh).
#include "service/CrashReport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

SYSTEMTIME at(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    SYSTEMTIME time{};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    time.wSecond = second;
    return time;
}

TEST(CrashReportTest, TheLastLineNamesTheCodeTheModuleTheOffsetAndTheDump) {
    const SYSTEMTIME time = at(2026, 12, 9, 4, 5, 6);
    const struct {
        CrashFacts facts;
        std::string line;
    } cases[] = {
        {{0xC0000005, L"tun2proxy.dll", 0x1a2b, L"Orvanet_crash_20261209_040506_77.dmp", 0, time},
         "[2026-12-09 04:05:06] [ERROR] Unhandled exception 0xC0000005 at tun2proxy.dll+0x1A2B; "
         "crash dump written to Orvanet_crash_20261209_040506_77.dmp; ending the process\r\n"},
        {{0x80000003, nullptr, 0x7ff600001000, L"d.dmp", 5, time},
         "[2026-12-09 04:05:06] [ERROR] Unhandled exception 0x80000003 at an unknown "
         "module+0x7FF600001000; the crash dump d.dmp could not be written (error 5); ending "
         "the process\r\n"},
        {{0xC00000FD, L"t\u00fcn.dll", 0, L"d.dmp", 0, time},
         "[2026-12-09 04:05:06] [ERROR] Unhandled exception 0xC00000FD at t?n.dll+0x0; crash "
         "dump written to d.dmp; ending the process\r\n"},
    };
    for (const auto& c : cases) {
        char out[512];
        const std::size_t length = formatCrashLine(out, sizeof out, c.facts);
        EXPECT_EQ(c.line, std::string(out, length));
        EXPECT_EQ('\0', out[length]);
    }
}

TEST(CrashReportTest, ALineCutToItsBufferStillEndsTheLine) {
    const CrashFacts facts{0xC0000005, L"tun2proxy.dll", 1, L"d.dmp", 0, at(2026, 1, 2, 3, 4, 5)};
    for (const std::size_t size : {std::size_t{40}, std::size_t{3}}) {
        char out[64];
        const std::size_t length = formatCrashLine(out, size, facts);
        ASSERT_EQ(size - 1, length) << size;
        EXPECT_EQ("\r\n", std::string(out + length - 2, 2));
        EXPECT_EQ(std::string("[2026-01-02 03:04:05] [ERROR] Unhandl").substr(0, size - 3),
                  std::string(out, length - 2));
    }
}

TEST(CrashReportTest, DumpNamesSortByTime) {
    wchar_t first[64];
    wchar_t second[64];
    formatDumpName(first, 64, at(2026, 12, 9, 9, 59, 59), 4321);
    formatDumpName(second, 64, at(2026, 12, 9, 10, 0, 0), 12);
    EXPECT_EQ(std::wstring(L"Orvanet_crash_20261209_095959_4321.dmp"), first);
    EXPECT_EQ(std::wstring(L"Orvanet_crash_20261209_100000_12.dmp"), second);
    EXPECT_LT(std::wstring(first), std::wstring(second));
}

} // namespace
