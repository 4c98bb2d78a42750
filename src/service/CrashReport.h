#pragma once

#include "log/LogFileSecurity.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>

// The process's last word. The tunnel engine is native code inside this process; when it
// (or anything else) faults, the unhandled-exception filter installed here has a reporter
// thread write two lines to Orvanet_crash.log beside the log and to the debugger (the fault,
// then what became of the dump) and a minidump into the log's folder, and ends the process
// with the exception's code, so that the Service Control Manager sees a failure.
//
// The filter runs on a thread that just faulted, perhaps with its stack all but used up, or
// inside the log's lock, the heap's or the loader's: it only wakes the reporter, made at
// start, and waits for it at most kCrashReportBoundMs. The reporter takes no lock of ours
// and allocates nothing of ours, and nothing it does before the first line is out waits on
// the loader lock; a dump that cannot be written in time is not left behind. The newest
// kCrashDumpsKept - 1 dumps are kept at start, so that with the next one at most
// kCrashDumpsKept exist: a crash loop cannot fill the disk.
//
// abort(), std::terminate and the C runtime's invalid-parameter handler end a process
// without reaching the filter; they are routed into the same report, each under a code of
// its own (customer status codes: bit 29 set), at the place that called them.
inline constexpr int kCrashDumpsKept = 5;
inline constexpr DWORD kCrashReportBoundMs = 10000;
inline constexpr DWORD kAbortCode = 0xE04F0001;            // abort(), raise(SIGABRT)
inline constexpr DWORD kTerminateCode = 0xE04F0002;        // std::terminate, an uncaught throw
inline constexpr DWORD kInvalidParameterCode = 0xE04F0003; // a C runtime call's bad argument

// False when the crash log beside the log cannot be opened or the reporter cannot be made.
// Without the crash log the report reaches the debugger only; without the reporter a fault
// ends the process at once with its code.
bool installCrashReport(const std::filesystem::path& logFolder);

// What the first line says.
struct CrashFacts {
    DWORD code = 0;
    const wchar_t* module = nullptr;   // base name of the faulting module; null if unknown
    std::uintptr_t offset = 0;         // from the module's base, or the address if unknown
    const wchar_t* dumpName = nullptr; // null: there is no place to write one
    SYSTEMTIME time{};
};

// What the second line says: how the dump ended.
enum class DumpEnd { Written, Failed, OutOfTime };
struct DumpFacts {
    DumpEnd end = DumpEnd::Written;
    const wchar_t* dumpName = nullptr;
    std::uint64_t bytes = 0; // Written
    DWORD error = 0;         // Failed
    SYSTEMTIME time{};
};

// Each writes its line, with its CR LF, into `out` without allocating and returns its length
// (cut to fit). Non-ASCII characters of names are written as '?'.
std::size_t formatCrashLine(char* out, std::size_t size, const CrashFacts& facts);
std::size_t formatDumpLine(char* out, std::size_t size, const DumpFacts& facts);

// The dump's file name for a time and process, into `out` (at least 64 characters).
void formatDumpName(wchar_t* out, std::size_t size, const SYSTEMTIME& time, DWORD processId);
