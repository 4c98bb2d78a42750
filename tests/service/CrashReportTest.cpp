// The crash report: its two lines and the dump's name, made without allocating, and what a
// process that faults leaves behind, tried on child processes with the stand-in engine told
// to fault (the service itself: tests/e2e/whole_service.sh).
#include "platform/ModuleFolder.h"
#include "platform/Owners.h"
#include "service/CrashReport.h"
#include "support/ChildProcess.h"
#include "support/EventRecorder.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <dbghelp.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

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

// The line a formatter makes, checked to end where its length says.
template <typename Facts>
std::string formatted(std::size_t (*format)(char*, std::size_t, const Facts&), const Facts& facts) {
    char out[512];
    const std::size_t length = format(out, sizeof out, facts);
    EXPECT_EQ('\0', out[length]);
    return std::string(out, length);
}

TEST(CrashReportTest, TheFirstLineNamesTheCodeTheModuleTheOffsetAndTheDumpToCome) {
    const SYSTEMTIME time = at(2026, 12, 9, 4, 5, 6);
    const struct {
        CrashFacts facts;
        std::string line;
    } cases[] = {
        {{0xC0000005, L"tun2proxy.dll", 0x1a2b, L"Orvanet_crash_20261209_040506_77.dmp", time},
         "[2026-12-09 04:05:06] [ERROR] Unhandled exception 0xC0000005 at tun2proxy.dll+0x1A2B; "
         "writing crash dump Orvanet_crash_20261209_040506_77.dmp\r\n"},
        {{0x80000003, nullptr, 0x7ff600001000, nullptr, time},
         "[2026-12-09 04:05:06] [ERROR] Unhandled exception 0x80000003 at an unknown "
         "module+0x7FF600001000; no crash dump: no place to write it\r\n"},
        {{0xC00000FD, L"t\u00fcn.dll", 0, L"d.dmp", time},
         "[2026-12-09 04:05:06] [ERROR] Unhandled exception 0xC00000FD at t?n.dll+0x0; writing "
         "crash dump d.dmp\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.line, formatted(formatCrashLine, c.facts));
    }
}

TEST(CrashReportTest, TheSecondLineSaysHowTheDumpEnded) {
    const SYSTEMTIME time = at(2026, 12, 9, 4, 5, 7);
    const struct {
        DumpFacts facts;
        std::string line;
    } cases[] = {
        {{DumpEnd::Written, L"d.dmp", 1433600, 0, time},
         "[2026-12-09 04:05:07] [ERROR] Crash dump written: d.dmp (1433600 bytes)\r\n"},
        {{DumpEnd::Failed, L"d.dmp", 0, 112, time},
         "[2026-12-09 04:05:07] [ERROR] Crash dump not written: d.dmp (error 112)\r\n"},
        {{DumpEnd::OutOfTime, L"d.dmp", 0, 0, time},
         "[2026-12-09 04:05:07] [ERROR] Crash dump not written: d.dmp (not finished within 10 "
         "s)\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.line, formatted(formatDumpLine, c.facts));
    }
}

TEST(CrashReportTest, ALineCutToItsBufferStillEndsTheLine) {
    const CrashFacts facts{0xC0000005, L"tun2proxy.dll", 1, L"d.dmp", at(2026, 1, 2, 3, 4, 5)};
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

// A child process that installs the crash report into a log folder whose name is not ASCII
// and loads a copy of the stand-in engine, told by its mode file how to fault, or ends
// itself as the mode says.
class CrashingChild {
public:
    struct Outcome {
        DWORD exitCode = 0;
        std::vector<std::string> lines;           // of Orvanet_crash.log
        std::vector<std::string> events;          // written to the Application log
        std::vector<std::filesystem::path> dumps; // left in the log folder
    };

    Outcome run(const std::string& mode) {
        Outcome outcome;
        std::filesystem::remove_all(logs);
        std::filesystem::create_directories(logs);
        std::ofstream(engineFolder / L"tun2proxy-standin.txt", std::ios::binary) << mode;
        const UniqueHandle process =
            startChild(moduleFolder(nullptr) / L"crash_child.exe",
                       {logs.native(), (engineFolder / L"tun2proxy.dll").native(),
                        std::filesystem::path(mode).native()});
        if (!process) {
            ADD_FAILURE() << "crash_child not started: " << GetLastError();
            return outcome;
        }
        // The fault comes 3 s after the start and the report's bound is 10 s.
        if (WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) {
            TerminateProcess(process.get(), 1);
            WaitForSingleObject(process.get(), 10000);
            ADD_FAILURE() << mode << ": the process did not end";
        }
        GetExitCodeProcess(process.get(), &outcome.exitCode);
        outcome.lines = readLines(logs / L"Orvanet_crash.log");
        if (std::filesystem::exists(logs / L"events.txt")) {
            outcome.events = readLines(logs / L"events.txt");
        }
        for (const auto& entry : std::filesystem::directory_iterator(logs)) {
            if (entry.path().extension() == L".dmp") {
                outcome.dumps.push_back(entry.path());
            }
        }
        return outcome;
    }

    const std::filesystem::path& logFolder() const { return logs; }

private:
    TempFolder root{"crash"};
    std::filesystem::path logs = root.path() / L"logs-\u00eb";
    std::filesystem::path engineFolder = [this] {
        const auto folder = root.path() / L"engine";
        std::filesystem::create_directories(folder);
        std::filesystem::copy_file(moduleFolder(nullptr) / ENGINE_FROM_TEST,
                                   folder / L"tun2proxy.dll");
        return folder;
    }();
};

// A minidump whose every stream lies inside the file, with the exception stream naming the
// fault's code: what a debugger needs to open it.
void expectWholeDump(const std::filesystem::path& dump, DWORD code) {
    const std::string bytes = readFile(dump);
    ASSERT_GE(bytes.size(), sizeof(MINIDUMP_HEADER)) << dump;
    const auto* header = reinterpret_cast<const MINIDUMP_HEADER*>(bytes.data());
    EXPECT_EQ(0x504D444Du, header->Signature); // "MDMP"
    const std::size_t directoryEnd =
        header->StreamDirectoryRva +
        std::size_t{header->NumberOfStreams} * sizeof(MINIDUMP_DIRECTORY);
    ASSERT_LE(directoryEnd, bytes.size());
    const auto* directory =
        reinterpret_cast<const MINIDUMP_DIRECTORY*>(bytes.data() + header->StreamDirectoryRva);
    bool exceptionSeen = false;
    for (ULONG32 i = 0; i < header->NumberOfStreams; ++i) {
        const auto& location = directory[i].Location;
        EXPECT_LE(std::size_t{location.Rva} + location.DataSize, bytes.size()) << i;
        if (directory[i].StreamType == ExceptionStream &&
            location.Rva + sizeof(MINIDUMP_EXCEPTION_STREAM) <= bytes.size()) {
            const auto* stream =
                reinterpret_cast<const MINIDUMP_EXCEPTION_STREAM*>(bytes.data() + location.Rva);
            EXPECT_EQ(code, stream->ExceptionRecord.ExceptionCode);
            exceptionSeen = true;
        }
    }
    EXPECT_TRUE(exceptionSeen) << dump;
}

const std::regex kFirstLine(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] \[ERROR\] Unhandled )"
                            R"(exception (0x[0-9A-F]{8}) at (\S+)\+0x[0-9A-F]+; )"
                            R"(writing crash dump (Orvanet_crash_\d{8}_\d{6}_\d+\.dmp))");
const std::regex kSecondLine(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] \[ERROR\] )"
                             R"(Crash dump (not )?written: (Orvanet_crash_\S+\.dmp) \((.*)\))");

TEST(CrashReportTest, AFaultingProcessLeavesBothLinesAWholeDumpOrNoneAndEndsWithTheCode) {
    const struct {
        const char* mode;
        int runs;
        DWORD code;
        const char* module; // where the first line places it
        bool dumpKept;      // else the bound ends the report
    } cases[] = {
        // Wine runs the filter on all three threads at once.
        {"fault-three-threads", 5, 0xC0000005, "tun2proxy.dll", true},
        {"overflow-after-start", 1, 0xC00000FD, "tun2proxy.dll", true},
        // The dump waits on the loader lock, which a thread in the engine's DllMain holds.
        {"fault-while-loader-held", 1, 0xC0000005, "tun2proxy.dll", false},
        // Ends that reach no exception filter, each on a worker thread of the child.
        {"abort", 1, kAbortCode, "crash_child.exe", true},
        {"terminate", 1, kTerminateCode, "crash_child.exe", true},
        {"invalid-parameter", 1, kInvalidParameterCode, "crash_child.exe", true},
    };
    CrashingChild child;
    for (const auto& c : cases) {
        for (int run = 0; run < c.runs; ++run) {
            SCOPED_TRACE(std::string(c.mode) + ", run " + std::to_string(run + 1));
            const auto outcome = child.run(c.mode);
            EXPECT_EQ(c.code, outcome.exitCode) << std::hex << outcome.exitCode;
            ASSERT_EQ(2u, outcome.lines.size());
            std::smatch first;
            std::smatch second;
            ASSERT_TRUE(std::regex_match(outcome.lines[0], first, kFirstLine)) << outcome.lines[0];
            ASSERT_TRUE(std::regex_match(outcome.lines[1], second, kSecondLine))
                << outcome.lines[1];
            char code[16];
            std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(c.code));
            EXPECT_EQ(code, first[1].str());
            EXPECT_EQ(c.module, first[2].str());
            EXPECT_EQ(first[3].str(), second[2].str());
            if (c.dumpKept) {
                // The event follows both lines, and says what they say.
                EXPECT_EQ(std::vector<std::string>{expectedEventLine(
                              ServiceEvent::Crashed,
                              {messageOf(outcome.lines[0]), messageOf(outcome.lines[1])})},
                          outcome.events);
                EXPECT_FALSE(second[1].matched) << outcome.lines[1];
                ASSERT_EQ(1u, outcome.dumps.size());
                EXPECT_EQ(first[3].str(), outcome.dumps[0].filename().string());
                EXPECT_EQ(std::to_string(std::filesystem::file_size(outcome.dumps[0])) + " bytes",
                          second[3].str());
                expectWholeDump(outcome.dumps[0], c.code);
                expectNoAccessForOthers(outcome.dumps[0]);
            } else {
                EXPECT_TRUE(second[1].matched) << outcome.lines[1];
                EXPECT_EQ("not finished within 10 s", second[3].str());
                EXPECT_TRUE(outcome.dumps.empty()) << outcome.dumps[0];
                // The dump held the reporter: the crash log alone tells it.
                EXPECT_EQ(std::vector<std::string>{}, outcome.events);
            }
        }
    }
}

} // namespace
