#include "service/CrashReport.h"

#include "log/EventLog.h"
#include "log/Logger.h"
#include "platform/Owners.h"

#include <dbghelp.h>
#include <psapi.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <string>
#include <type_traits>
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
    // Text of the same kind is copied unchanged (a path keeps its every character); wide
    // text in a narrow line keeps ASCII only.
    template <typename Other>
    void add(const Other* text) {
        for (; text != nullptr && *text != 0; ++text) {
            const auto c = static_cast<std::uint32_t>(*text);
            if constexpr (std::is_same_v<Char, Other>) {
                add(*text);
            } else {
                add(static_cast<Char>(c < 0x80 ? c : '?'));
            }
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

// Everything the filter and the reporter use, made at start; static, so that it costs no
// allocation at the fault.
struct CrashState {
    wchar_t folder[MAX_PATH + 1] = {}; // with its trailing separator
    std::size_t folderLength = 0;
    DWORD processId = 0;
    UniqueHandle crashLog;
    LocalMemory dumpDescriptor;
    UniqueHandle wake; // the filter wakes the reporter
    UniqueHandle done; // the reporter has written both lines
    UniqueHandle reporter;
    DWORD reporterId = 0;
    // The first fault, set by the thread that has it before it wakes the reporter.
    DWORD code = 0;
    EXCEPTION_POINTERS* info = nullptr;
    std::atomic<DWORD> faultingThread{0};
    wchar_t dumpName[64] = {};
    wchar_t dumpPath[MAX_PATH + 64] = {};
    wchar_t module[MAX_PATH] = {};
    char line[1024] = {};
    char debugLine[1100] = {};
    // The two lines again, without their stamp and level, for the Application log.
    wchar_t eventTexts[2][1024] = {};
    // The filter's own, for the line it writes when the reporter is out of time.
    char boundLine[256] = {};
    char boundDebugLine[300] = {};
};
CrashState g_crash;
// Set by the first thread that faults: it alone reports.
std::atomic<bool> g_reporting{false};
// Set by whichever ends the report, the reporter with its second line or the filter at the
// bound: the other then writes nothing more, and a dump is kept only by the reporter.
std::atomic<bool> g_ended{false};

// The reporter's stack: enough for the dump, and small, since its whole reservation goes
// into the dump under Wine.
constexpr SIZE_T kReporterStack = 256 * 1024;

// Time for the first faulting thread to end the process once the report has ended; other
// faulting threads wait this much beyond the bound before they end it themselves.
constexpr DWORD kEndMarginMs = 5000;

// To the crash log, then to the debugger: a line is whole in the file before anything that
// may wait on a lock of the platform's runs.
void emit(const char* line, std::size_t length, char* debugLine, std::size_t debugSize) {
    if (g_crash.crashLog) {
        DWORD written = 0;
        WriteFile(g_crash.crashLog.get(), line, static_cast<DWORD>(length), &written, nullptr);
        FlushFileBuffers(g_crash.crashLog.get());
    }
    FixedText<char> debug(debugLine, debugSize);
    debug.add("[Orvanet] ");
    debug.add(line);
    OutputDebugStringA(debugLine);
}

// A crash line as an event's text: what follows its level, up to its line end.
void keepForEvent(wchar_t* out, std::size_t size, const char* line) {
    static constexpr char kLevel[] = "[ERROR] ";
    const char* text = line;
    for (const char* c = line; *c != 0; ++c) {
        if (std::equal(kLevel, kLevel + sizeof kLevel - 1, c, c + sizeof kLevel - 1)) {
            text = c + sizeof kLevel - 1;
            break;
        }
    }
    FixedText<wchar_t> event(out, size);
    for (; *text != 0 && *text != '\r' && *text != '\n'; ++text) {
        event.add(static_cast<wchar_t>(static_cast<unsigned char>(*text)));
    }
}

// The base name of the module holding `address`, and the offset into it. Found from the
// memory's mapping rather than the loader's list: a fault inside a DllMain, or while another
// thread holds the loader lock, must not stop the first line.
const wchar_t* faultingModule(const void* address, std::uintptr_t& offset) {
    offset = reinterpret_cast<std::uintptr_t>(address);
    MEMORY_BASIC_INFORMATION region{};
    if (VirtualQuery(address, &region, sizeof region) == 0 || region.Type != MEM_IMAGE ||
        region.AllocationBase == nullptr) {
        return nullptr;
    }
    const DWORD length =
        K32GetMappedFileNameW(GetCurrentProcess(), region.AllocationBase, g_crash.module, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return nullptr;
    }
    offset -= reinterpret_cast<std::uintptr_t>(region.AllocationBase);
    const wchar_t* name = g_crash.module;
    for (const wchar_t* c = g_crash.module; *c != 0; ++c) {
        if (*c == L'\\' || *c == L'/') {
            name = c + 1;
        }
    }
    return name;
}

bool setDeleteOnClose(HANDLE file, bool remove) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = remove ? TRUE : FALSE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != FALSE;
}

// Writes the dump and, unless the bound has ended the report first, keeps it. Until it is
// kept it is marked for deletion, so that neither a failure nor the end of the process at the
// bound leaves a partial file. The reporter then owns the end of the report.
DumpFacts writeDump() {
    DumpFacts facts;
    facts.dumpName = g_crash.dumpName;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, g_crash.dumpDescriptor.get(), FALSE};
    const UniqueHandle file(CreateFileW(g_crash.dumpPath, GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                                        &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD error = file ? 0 : GetLastError();
    if (file && !setDeleteOnClose(file.get(), true)) {
        error = GetLastError();
    }
    if (error == 0) {
        MINIDUMP_EXCEPTION_INFORMATION exception{g_crash.faultingThread.load(), g_crash.info,
                                                 FALSE};
        // A symbol session that loads no module: without one, Wine's dump makes its own that
        // loads every module's debug information and copies the unwind data of every
        // function, some twenty thousand pieces, which takes seconds; Windows's needs neither.
        SymInitializeW(GetCurrentProcess(), nullptr, FALSE);
        // Threads, their stacks and the modules: enough for a stack trace, and nothing of
        // the traffic or the rest of the memory.
        if (!MiniDumpWriteDump(GetCurrentProcess(), g_crash.processId, file.get(), MiniDumpNormal,
                               &exception, nullptr, nullptr)) {
            error = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
        }
    }
    if (g_ended.exchange(true)) {
        // The bound came first: the filter has said so and is ending the process, which
        // removes the file.
        Sleep(INFINITE);
    }
    LARGE_INTEGER size{};
    if (error == 0 && (!GetFileSizeEx(file.get(), &size) || !setDeleteOnClose(file.get(), false))) {
        error = GetLastError();
    }
    facts.end = error == 0 ? DumpEnd::Written : DumpEnd::Failed;
    facts.error = error;
    facts.bytes = static_cast<std::uint64_t>(size.QuadPart);
    return facts;
}

DWORD WINAPI reportCrash(void*) {
    if (WaitForSingleObject(g_crash.wake.get(), INFINITE) != WAIT_OBJECT_0) {
        return 0;
    }
    CrashFacts crash;
    crash.code = g_crash.code;
    GetLocalTime(&crash.time);
    crash.module = faultingModule(g_crash.info->ExceptionRecord->ExceptionAddress, crash.offset);
    if (g_crash.folderLength > 0) {
        formatDumpName(g_crash.dumpName, std::size(g_crash.dumpName), crash.time,
                       g_crash.processId);
        FixedText<wchar_t> path(g_crash.dumpPath, std::size(g_crash.dumpPath));
        path.add(g_crash.folder);
        path.add(g_crash.dumpName);
        crash.dumpName = g_crash.dumpName;
    }
    emit(g_crash.line, formatCrashLine(g_crash.line, sizeof g_crash.line, crash), g_crash.debugLine,
         sizeof g_crash.debugLine);
    keepForEvent(g_crash.eventTexts[0], std::size(g_crash.eventTexts[0]), g_crash.line);

    if (crash.dumpName != nullptr) {
        DumpFacts dump = writeDump();
        GetLocalTime(&dump.time);
        emit(g_crash.line, formatDumpLine(g_crash.line, sizeof g_crash.line, dump),
             g_crash.debugLine, sizeof g_crash.debugLine);
        keepForEvent(g_crash.eventTexts[1], std::size(g_crash.eventTexts[1]), g_crash.line);
    } else if (g_ended.exchange(true)) {
        Sleep(INFINITE);
    }
    // After both lines are whole in the crash log, and before the process may end: the
    // faulting thread ends it once the report is done. A report ended by the bound has no
    // event, since the dump that holds the reporter up may be holding what this needs.
    const wchar_t* texts[] = {g_crash.eventTexts[0], g_crash.eventTexts[1]};
    EventLog::instance().report(ServiceEvent::Crashed, texts, 2);
    SetEvent(g_crash.done.get());
    Sleep(INFINITE);
    return 0;
}

// Says that the dump did not finish in time. Runs on the faulting thread, so it keeps to
// a few small frames.
void reportOutOfTime() {
    DumpFacts dump;
    dump.end = DumpEnd::OutOfTime;
    dump.dumpName = g_crash.dumpName;
    GetLocalTime(&dump.time);
    emit(g_crash.boundLine, formatDumpLine(g_crash.boundLine, sizeof g_crash.boundLine, dump),
         g_crash.boundDebugLine, sizeof g_crash.boundDebugLine);
}

// Runs on every faulting thread at once under Wine, and with what little stack an overflow
// left: it wakes the reporter and waits, nothing more.
LONG WINAPI onUnhandledException(EXCEPTION_POINTERS* info) {
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    const DWORD self = GetCurrentThreadId();
    if (g_reporting.exchange(true)) {
        // The reporter's own fault, or the reporting thread's second: nothing is left to
        // wait for. Any other thread waits for the report under way to end the process.
        if (self != g_crash.reporterId && self != g_crash.faultingThread.load()) {
            WaitForSingleObject(g_crash.done.get(), kCrashReportBoundMs + kEndMarginMs);
        }
        TerminateProcess(GetCurrentProcess(), g_crash.code != 0 ? g_crash.code : code);
        return EXCEPTION_EXECUTE_HANDLER;
    }
    g_crash.code = code;
    g_crash.info = info;
    g_crash.faultingThread.store(self);
    if (g_crash.reporter && SetEvent(g_crash.wake.get()) &&
        WaitForSingleObject(g_crash.done.get(), kCrashReportBoundMs) != WAIT_OBJECT_0) {
        if (!g_ended.exchange(true)) {
            reportOutOfTime();
        } else {
            // The reporter finished the dump just now; its line follows.
            WaitForSingleObject(g_crash.done.get(), kEndMarginMs);
        }
    }
    TerminateProcess(GetCurrentProcess(), code);
    return EXCEPTION_EXECUTE_HANDLER;
}

// An end that raised no exception, reported as one raised here, with this thread's context:
// the dump's exception stream then shows the stack that called abort() or terminate.
[[noreturn]] void reportEnd(DWORD code) {
    CONTEXT context{};
    RtlCaptureContext(&context);
    EXCEPTION_RECORD record{};
    record.ExceptionCode = code;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    record.ExceptionAddress = reinterpret_cast<void*>(context.Rip);
    EXCEPTION_POINTERS pointers{&record, &context};
    onUnhandledException(&pointers);
    TerminateProcess(GetCurrentProcess(), code);
    // TerminateProcess of the calling process does not return.
    for (;;) {
        Sleep(INFINITE);
    }
}

void onAbortSignal(int) {
    reportEnd(kAbortCode);
}

void onTerminate() {
    reportEnd(kTerminateCode);
}

void onInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, std::uintptr_t) {
    reportEnd(kInvalidParameterCode);
}

// Keeps the newest kCrashDumpsKept - 1 of the service's own dumps; their names sort by time.
// Only files that pass the log's own checks count (a plain file of one name, of a trusted
// owner): where others may create files, dumps planted with later names would otherwise
// push every real one out. Each is deleted through the handle that was checked.
void pruneDumps(const std::filesystem::path& folder) {
    std::vector<std::pair<std::wstring, UniqueHandle>> own;
    WIN32_FIND_DATAW data{};
    HANDLE find = FindFirstFileW((folder / kDumpPattern).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        std::error_code error;
        const char* distrust = nullptr;
        UniqueHandle dump =
            openCheckedLogFile(folder / data.cFileName, error, &distrust, OPEN_EXISTING,
                               DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES);
        if (dump) {
            own.emplace_back(data.cFileName, std::move(dump));
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(own.begin(), own.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    const auto keep = static_cast<std::size_t>(kCrashDumpsKept - 1);
    for (std::size_t i = 0; i + keep < own.size(); ++i) {
        deleteByHandle(own[i].second.get());
    }
}

} // namespace

namespace {

// "[2026-12-09 04:05:06] [ERROR] "
void beginLine(FixedText<char>& line, const SYSTEMTIME& time) {
    line.add('[');
    addTime(line, time, "-", " ", ":");
    line.add("] [ERROR] ");
}

// The line end must fit whatever was cut before it.
std::size_t endLine(char* out, std::size_t size, const FixedText<char>& line) {
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

} // namespace

std::size_t formatCrashLine(char* out, std::size_t size, const CrashFacts& facts) {
    FixedText<char> line(out, size);
    beginLine(line, facts.time);
    line.add("Unhandled exception 0x");
    line.hex(facts.code, 8);
    line.add(" at ");
    line.add(facts.module != nullptr ? facts.module : L"an unknown module");
    line.add("+0x");
    line.hex(facts.offset, 1);
    if (facts.dumpName != nullptr) {
        line.add("; writing crash dump ");
        line.add(facts.dumpName);
    } else {
        line.add("; no crash dump: no place to write it");
    }
    return endLine(out, size, line);
}

std::size_t formatDumpLine(char* out, std::size_t size, const DumpFacts& facts) {
    FixedText<char> line(out, size);
    beginLine(line, facts.time);
    line.add(facts.end == DumpEnd::Written ? "Crash dump written: " : "Crash dump not written: ");
    line.add(facts.dumpName);
    switch (facts.end) {
    case DumpEnd::Written:
        line.add(" (");
        line.decimal(facts.bytes, 1);
        line.add(" bytes)");
        break;
    case DumpEnd::Failed:
        line.add(" (error ");
        line.decimal(facts.error, 1);
        line.add(')');
        break;
    case DumpEnd::OutOfTime:
        line.add(" (not finished within ");
        line.decimal(kCrashReportBoundMs / 1000, 1);
        line.add(" s)");
        break;
    }
    return endLine(out, size, line);
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
    if (g_crash.reporter) {
        return static_cast<bool>(g_crash.crashLog);
    }
    g_crash.processId = GetCurrentProcessId();
    const std::wstring folder = (logFolder / L"").native();
    if (!logFolder.empty() && folder.size() < MAX_PATH) {
        std::copy(folder.begin(), folder.end(), g_crash.folder);
        g_crash.folder[folder.size()] = 0;
        g_crash.folderLength = folder.size();
        pruneDumps(logFolder);
        // Opened now: at the fault no file name needs resolving for the line. Made only if
        // missing, with the checks the log's own file gets; it stays empty until a crash.
        g_crash.crashLog = Logger::instance().openCompanionFile(kCrashLogName);
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kCrashDumpSddl, SDDL_REVISION_1,
                                                             &descriptor, nullptr)) {
        g_crash.dumpDescriptor.reset(descriptor);
    } else {
        // Without its own descriptor a dump would take the folder's, which users may read.
        g_crash.folderLength = 0;
    }
    g_crash.wake.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    g_crash.done.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (g_crash.wake && g_crash.done) {
        g_crash.reporter.reset(CreateThread(nullptr, kReporterStack, &reportCrash, nullptr,
                                            STACK_SIZE_PARAM_IS_A_RESERVATION,
                                            &g_crash.reporterId));
    }
    SetUnhandledExceptionFilter(&onUnhandledException);
    std::signal(SIGABRT, &onAbortSignal);
    std::set_terminate(&onTerminate);
    _set_invalid_parameter_handler(&onInvalidParameter);
    return g_crash.crashLog && g_crash.reporter;
}
