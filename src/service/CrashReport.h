#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>

// The process's last word. The tunnel engine is native code inside this process; when it
// (or anything else) faults, the unhandled-exception filter installed here writes a
// minidump into the log's folder, one last line naming the exception, the faulting module
// and offset and the dump, to Orvanet_crash.log beside the log and to the debugger, and
// ends the process with the exception's code, so that the Service Control Manager sees a
// failure.
//
// The filter runs on a thread that just faulted, perhaps inside the log's lock or the
// heap's: it takes no lock of ours and allocates nothing of ours. Its paths, its file and
// its buffers are made here, at start. The newest kCrashDumpsKept - 1 dumps are kept at
// start, so that with the next one at most kCrashDumpsKept exist: a crash loop cannot fill
// the disk.
inline constexpr int kCrashDumpsKept = 5;

// False when the crash log beside the log cannot be opened; the filter is installed anyway
// and then reports to the debugger only.
bool installCrashReport(const std::filesystem::path& logFolder);

// What the last line says.
struct CrashFacts {
    DWORD code = 0;
    const wchar_t* module = nullptr; // base name of the faulting module; null if unknown
    std::uintptr_t offset = 0;       // from the module's base, or the address if unknown
    const wchar_t* dumpName = nullptr;
    DWORD dumpError = 0; // 0: the dump was written
    SYSTEMTIME time{};
};

// Writes the line, with its CR LF, into `out` without allocating; returns its length
// (cut to fit). Non-ASCII characters of names are written as '?'.
std::size_t formatCrashLine(char* out, std::size_t size, const CrashFacts& facts);

// The dump's file name for a time and process, into `out` (at least 64 characters).
void formatDumpName(wchar_t* out, std::size_t size, const SYSTEMTIME& time, DWORD processId);
