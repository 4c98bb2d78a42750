#include "service/CrashReport.h"

#include "platform/Owners.h"

#include <dbghelp.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kCrashLogName[] = L"Orvanet_crash.log";
constexpr wchar_t kDumpPattern[] = L"Orvanet_crash_*.dmp";

// Appends to a fixed buffer, cutting what does not fit; never allocates.
template <typename Char>
class FixedText {
public:
    FixedText(Char* out, std::size_t size) : out(out), size(size) { terminate(); }

    void add(Char c) {
        if (size > 0 && used + 1 < size) {
            out[used++] = c;
            terminate();
        }
    }
    template <typename Other>
    void add(const Other* text) {
        for (; text != nullptr && *text != 0; ++text) {
            const auto c = static_cast<std::uint32_t>(*text);
            add(static_cast<Char>(c < 0x80 ? c : '?'));
        }
    }
    void decimal(std::uint64_t value, int width) {
        Char digits[24];
        int count = 0;
        do {
            digits[count++] = static_cast<Char>('0' + value % 10);
            value /= 10;
        } while (value != 0 && count < 24);
        for (int pad = count; pad < width; ++pad) {
            add(static_cast<Char>('0'));
        }
        while (count > 0) {
            add(digits[--count]);
        }
    }
    void hex(std::uint64_t value, int width) {
        static constexpr char digits[] = "0123456789ABCDEF";
        bool started = false;
        for (int shift = 60; shift >= 0; shift -= 4) {
            const auto digit = static_cast<unsigned>((value >> shift) & 0xF);
            started = started || digit != 0 || shift < width * 4;
            if (started) {
                add(static_cast<Char>(digits[digit]));
            }
        }
    }
    std::size_t length() const { return used; }

private:
    void terminate() {
        if (size > 0) {
            out[used] = 0;
        }
    }
    Char* out;
    std::size_t size;
    std::size_t used = 0;
};

// The date and the time of day, each part padded: "2026-12-09 04:05:06" with the separators
// "-", " " and ":", "20261209_040506" with "", "_" and "".
template <typename Char>
void addTime(FixedText<Char>& text, const SYSTEMTIME& time, const Char* dateSeparator,
             const Char* middle, const Char* timeSeparator) {
    text.decimal(time.wYear, 4);
    text.add(dateSeparator);
    text.decimal(time.wMonth, 2);
    text.add(dateSeparator);
    text.decimal(time.wDay, 2);
    text.add(middle);
    text.decimal(time.wHour, 2);
    text.add(timeSeparator);
    text.decimal(time.wMinute, 2);
    text.add(timeSeparator);
    text.decimal(time.wSecond, 2);
}

// Everything the filter uses, made at start; static, so that it costs no allocation.
struct CrashState {
    wchar_t folder[MAX_PATH + 1] = {}; // with its trailing separator
    std::size_t folderLength = 0;
    DWORD processId = 0;
    HANDLE crashLog = INVALID_HANDLE_VALUE;
    wchar_t dumpName[64] = {};
    wchar_t dumpPath[MAX_PATH + 64] = {};
    wchar_t module[MAX_PATH] = {};
    char line[1024] = {};
    char debugLine[1100] = {};
};
CrashState g_crash;
std::atomic<bool> g_reporting{false};

// The base name of the module holding `address`, and the offset into it.
const wchar_t* faultingModule(const void* address, std::uintptr_t& offset) {
    HMODULE module = nullptr;
    offset = reinterpret_cast<std::uintptr_t>(address);
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &module)) {
        return nullptr;
    }
    const DWORD length = GetModuleFileNameW(module, g_crash.module, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return nullptr;
    }
    offset -= reinterpret_cast<std::uintptr_t>(module);
    const wchar_t* name = g_crash.module;
    for (const wchar_t* c = g_crash.module; *c != 0; ++c) {
        if (*c == L'\\' || *c == L'/') {
            name = c + 1;
        }
    }
    return name;
}

DWORD writeDump(EXCEPTION_POINTERS* info) {
    DWORD error = 0;
    {
        const UniqueHandle file(CreateFileW(g_crash.dumpPath, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            return GetLastError();
        }
        MINIDUMP_EXCEPTION_INFORMATION exception{GetCurrentThreadId(), info, FALSE};
        // Threads, their stacks and the modules: enough for a stack trace, and nothing of
        // the traffic or the rest of the memory.
        const BOOL written =
            MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file.get(),
                              MiniDumpNormal, &exception, nullptr, nullptr);
        error = written ? 0 : (GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT);
    }
    if (error != 0) {
        DeleteFileW(g_crash.dumpPath);
    }
    return error;
}

LONG WINAPI onUnhandledException(EXCEPTION_POINTERS* info) {
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    // A fault while reporting one: end at once.
    if (g_reporting.exchange(true)) {
        TerminateProcess(GetCurrentProcess(), code);
        return EXCEPTION_EXECUTE_HANDLER;
    }
    CrashFacts facts;
    facts.code = code;
    GetLocalTime(&facts.time);
    facts.module = faultingModule(info->ExceptionRecord->ExceptionAddress, facts.offset);

    formatDumpName(g_crash.dumpName, std::size(g_crash.dumpName), facts.time, g_crash.processId);
    FixedText<wchar_t> path(g_crash.dumpPath, std::size(g_crash.dumpPath));
    path.add(g_crash.folder);
    path.add(g_crash.dumpName);
    facts.dumpName = g_crash.dumpName;
    facts.dumpError = g_crash.folderLength > 0 ? writeDump(info) : ERROR_PATH_NOT_FOUND;

    const std::size_t length = formatCrashLine(g_crash.line, sizeof g_crash.line, facts);
    if (g_crash.crashLog != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(g_crash.crashLog, g_crash.line, static_cast<DWORD>(length), &written, nullptr);
        FlushFileBuffers(g_crash.crashLog);
    }
    FixedText<char> debug(g_crash.debugLine, sizeof g_crash.debugLine);
    debug.add("[Orvanet] ");
    debug.add(g_crash.line);
    OutputDebugStringA(g_crash.debugLine);

    TerminateProcess(GetCurrentProcess(), code);
    return EXCEPTION_EXECUTE_HANDLER;
}

// Keeps the newest kCrashDumpsKept - 1 dumps; their names sort by time.
void pruneDumps(const std::filesystem::path& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data{};
    HANDLE find = FindFirstFileW((folder / kDumpPattern).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            names.emplace_back(data.cFileName);
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    const auto keep = static_cast<std::size_t>(kCrashDumpsKept - 1);
    for (std::size_t i = 0; i + keep < names.size(); ++i) {
        DeleteFileW((folder / names[i]).c_str());
    }
}

} // namespace

std::size_t formatCrashLine(char* out, std::size_t size, const CrashFacts& facts) {
    FixedText<char> line(out, size);
    line.add('[');
    addTime(line, facts.time, "-", " ", ":");
    line.add("] [ERROR] Unhandled exception 0x");
    line.hex(facts.code, 8);
    line.add(" at ");
    line.add(facts.module != nullptr ? facts.module : L"an unknown module");
    line.add("+0x");
    line.hex(facts.offset, 1);
    if (facts.dumpError == 0) {
        line.add("; crash dump written to ");
        line.add(facts.dumpName);
    } else {
        line.add("; the crash dump ");
        line.add(facts.dumpName);
        line.add(" could not be written (error ");
        line.decimal(facts.dumpError, 1);
        line.add(')');
    }
    line.add("; ending the process");
    // The line end must fit whatever was cut before it.
    const std::size_t room = size > 3 ? size - 3 : 0;
    const std::size_t end = std::min(line.length(), room);
    if (size >= 3) {
        out[end] = '\r';
        out[end + 1] = '\n';
        out[end + 2] = 0;
        return end + 2;
    }
    return line.length();
}

void formatDumpName(wchar_t* out, std::size_t size, const SYSTEMTIME& time, DWORD processId) {
    FixedText<wchar_t> name(out, size);
    name.add(L"Orvanet_crash_");
    addTime(name, time, L"", L"_", L"");
    name.add(L'_');
    name.decimal(processId, 1);
    name.add(L".dmp");
}

bool installCrashReport(const std::filesystem::path& logFolder) {
    g_crash.processId = GetCurrentProcessId();
    const std::wstring folder = (logFolder / L"").native();
    if (!logFolder.empty() && folder.size() < MAX_PATH) {
        std::copy(folder.begin(), folder.end(), g_crash.folder);
        g_crash.folder[folder.size()] = 0;
        g_crash.folderLength = folder.size();
        pruneDumps(logFolder);
        // Opened now: at the fault no file name needs resolving for the line. Made only if
        // missing; it stays empty until a crash.
        g_crash.crashLog =
            CreateFileW((logFolder / kCrashLogName).c_str(), FILE_APPEND_DATA,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    }
    SetUnhandledExceptionFilter(&onUnhandledException);
    return g_crash.crashLog != INVALID_HANDLE_VALUE;
}
