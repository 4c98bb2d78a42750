#pragma once

#include "log/Format.h"
#include "log/LogDirectory.h"
#include "platform/Owners.h"

#include <concepts>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

enum class LogLevel : int {
    Debug = 0,
    Info = 1,
    Warn = 2,
    Error = 3,
};

// Text of a Windows error code: "No error" for 0, the system's text without its line
// end, or "Unknown error (code: N)".
std::string formatWindowsError(std::uint32_t code);

// The process-wide service log: one line per call, to the debugger always and to the
// log file while it is open. Every operation may be called from any thread.
class Logger {
public:
    static Logger& instance();

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // An empty path means the default location under "ProgramData".
    bool initialize(const std::filesystem::path& path = {});

    // A message that is already formatted. Constrained so that a literal picks the
    // format-string overload below, where doubled braces stand for single ones.
    void log(LogLevel level, std::same_as<std::string_view> auto message) {
        writeLine(level, message);
    }

    template <typename... Args>
    void log(LogLevel level, orvanet::FormatString<Args...> fmt, Args&&... args) {
        // Formatted before the lock is taken: an argument's formatting never logs.
        writeLine(level, std::string_view(orvanet::format(fmt, std::forward<Args>(args)...)));
    }

    void logWindowsError(std::string_view api, std::uint32_t code);

    // The file the log writes to; empty before initialize() succeeded.
    std::filesystem::path filePath();

    // A file of the service's own beside the log (the crash log), made if missing and opened
    // for appending, after the checks the log's own file gets in that folder; empty if it
    // fails them or the log is not open. Shared for reading, writing and deleting.
    UniqueHandle openCompanionFile(const wchar_t* name);

    void close();

private:
    Logger() = default;
    ~Logger() = default;
    friend struct LoggerStorage;

    void writeLine(LogLevel level, std::string_view message);
    bool openFile();
    // An untrusted folder of the log's path that could not be moved aside: the log goes to
    // %SystemRoot%\System32\LogFiles\Orvanet, where only administrators may make folders.
    bool useSystemLogFolder(const std::filesystem::path& held, const std::string& reason);
    // `missed`: the folder that could not be used, and why, for the notice.
    void useTemporaryFolder(const std::filesystem::path& missed, const std::string& why);
    std::filesystem::path olderCopyPath() const;
    // Opened and checked with `mutex` held: in the temporary folder a file that fails the
    // checks is not used, in the log's own folders it is moved aside (see notices).
    UniqueHandle openChecked(const std::filesystem::path& path);
    // Writes and forgets the notices, to the file and the debugger.
    void writeNotices();
    void writeSelfLine(std::string_view message);
    // Called with `mutex` held.
    std::string timestamp();
    static void debugOutput(std::string_view text);
    void rotateIfNeeded();
    bool renameLog(const std::filesystem::path& rotatedPath);
    void rotateByCopy(const std::filesystem::path& rotatedPath, std::uint64_t size);
    // Copies what `log` holds into the older copy; 0, or the error that stopped it.
    DWORD copyToOlderCopy(HANDLE log, const std::filesystem::path& rotatedPath);
    // The whole text in one write, so that a line is never split between writers.
    bool writeToFile(std::string_view text);
    // A failed write closes the file; each later line tries it again, once.
    void fileWriteFailed(DWORD error);
    void resumeFile();

    std::mutex mutex;
    // Opened for appending only: every write lands at the end of the file as it is then,
    // whoever else wrote to it or cut it. Written through the platform, not a stream, so
    // that the service never runs the runtime's stream and locale code.
    UniqueHandle file;
    std::filesystem::path logPath;
    // The log's folders, held so that nobody can move them while the log writes there.
    LogFolders folders;
    bool initialized = false;
    bool fileFailed = false;
    // The fallback in the temporary folder, where other accounts may create files.
    bool inSharedFolder = false;
    std::uint64_t debuggerOnlyLines = 0;
    // What was moved aside from the log's place, said in the log once a file is open.
    std::vector<std::string> notices;
    // The last timestamp text, kept here under `mutex` and not per thread: with MinGW's
    // emulated TLS a thread_local's storage is freed before its destructor runs when the
    // thread ends, so a thread_local std::string would be destroyed through freed memory
    // by every logging thread that ends, corrupting the process heap.
    std::time_t cachedSecond = -1;
    std::string cachedText;
};

template <typename... Args>
void logInfo(orvanet::FormatString<Args...> fmt, Args&&... args) {
    Logger::instance().log(LogLevel::Info, fmt, std::forward<Args>(args)...);
}

template <typename... Args>
void logError(orvanet::FormatString<Args...> fmt, Args&&... args) {
    Logger::instance().log(LogLevel::Error, fmt, std::forward<Args>(args)...);
}
