#include "log/Logger.h"

#include "log/LogDirectory.h"
#include "log/LogFileSecurity.h"
#include "platform/ProgramData.h"

#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <new>

namespace {

constexpr std::uintmax_t kRotateAboveBytes = 10485760; // 10 MiB
constexpr wchar_t kLogFileName[] = L"Orvanet_service.log";
// Lines end as they always have in this file, as text files do on Windows.
constexpr std::string_view kLineEnd = "\r\n";

const char* levelName(LogLevel level) {
    switch (level) {
    case LogLevel::Debug:
        return "DEBUG";
    case LogLevel::Info:
        return "INFO";
    case LogLevel::Warn:
        return "WARN";
    case LogLevel::Error:
        return "ERROR";
    }
    return "UNKNOWN";
}

std::string narrow(const std::filesystem::path& path) {
    const std::wstring& wide = path.native();
    if (wide.empty()) {
        return {};
    }
    const int length = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) {
        WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), text.data(),
                            length, nullptr, nullptr);
    }
    return text;
}

// The UTF-8 of U+0080 to U+009F (C1 controls: U+009B is the 8-bit CSI some terminals act
// on, U+0085 a line end to some viewers) and of U+2028 and U+2029 (line and paragraph
// separators): the code point, or 0 for anything else. `text` starts at a lead byte.
unsigned lineBreakingCodePoint(std::string_view text) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    if (text.size() >= 2 && at(0) == 0xC2 && at(1) >= 0x80 && at(1) <= 0x9F) {
        return at(1);
    }
    if (text.size() >= 3 && at(0) == 0xE2 && at(1) == 0x80 && (at(2) == 0xA8 || at(2) == 0xA9)) {
        return 0x2000u + (at(2) - 0x80u);
    }
    return 0;
}

// Appends text with its control characters (below 0x20, 0x7F, and the C1 controls and line
// separators above) written as escapes. Text from outside (a client's request, the engine's
// lines, a system message) passes here on its way into a line, so that every record stays one
// line in any viewer: nobody can end a line and write one of their own, cut the debugger's
// copy short with a NUL or send escape sequences to a console. Other bytes, UTF-8 included,
// are kept as they are.
void appendEscaped(std::string& out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const auto byte = static_cast<unsigned char>(c);
        if (const unsigned point = byte >= 0xC2 ? lineBreakingCodePoint(text.substr(i)) : 0) {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) {
                out.push_back(hex[(point >> shift) & 0x0F]);
            }
            i += point < 0x800 ? 1 : 2;
        } else if (byte >= 0x20 && byte != 0x7F) {
            out.push_back(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            out += "\\x";
            out.push_back(hex[byte >> 4]);
            out.push_back(hex[byte & 0x0F]);
        }
    }
}

// Whether the file is empty or its last byte ends a line: a write that failed part way may
// have left the start of a line behind, and the next line must not continue it.
bool endsAtLineStart(const std::filesystem::path& path) {
    const UniqueHandle in(CreateFileW(path.c_str(), FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!in || !GetFileSizeEx(in.get(), &size) || size.QuadPart <= 0) {
        return true;
    }
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(size.QuadPart - 1);
    at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
    char last = '\n';
    DWORD read = 0;
    return !ReadFile(in.get(), &last, 1, &read, &at) || read != 1 || last == '\n';
}

} // namespace

// The log must outlive every object that may log at process exit (the components'
// destructors run after the static-destruction point of an ordinary function-local
// static), so the object is never destroyed; its file is closed by an exit handler
// registered right after it was built, which therefore runs before the destructors of
// everything created earlier.
struct LoggerStorage {
    LoggerStorage() { new (&buffer) Logger(); }
    Logger& get() { return *std::launder(reinterpret_cast<Logger*>(&buffer)); }
    alignas(Logger) unsigned char buffer[sizeof(Logger)];
};

Logger& Logger::instance() {
    static LoggerStorage storage;
    static const bool closeAtExit = [] {
        std::atexit([] { Logger::instance().close(); });
        return true;
    }();
    (void)closeAtExit;
    return storage.get();
}

bool Logger::initialize(const std::filesystem::path& path) {
    std::lock_guard lock(mutex);
    if (initialized) {
        return true;
    }
    inSharedFolder = false;
    notices.clear();
    bool temporary = false;
    if (!path.empty()) {
        logPath = path;
        std::error_code ignored;
        std::filesystem::create_directories(logPath.parent_path(), ignored);
    } else {
        const std::filesystem::path base = programDataFolder();
        logPath = serviceLogFolder() / kLogFileName;
        std::error_code error;
        const std::filesystem::path directory = logPath.parent_path();
        FoundFolders found;
        const bool created = folders.open(base, directory, found, error);
        notices = std::move(found.moved);
        if (!created && !(!found.heldUntrusted.empty() &&
                          useSystemLogFolder(found.heldUntrusted, found.heldReason))) {
            useTemporaryFolder(directory,
                               formatWindowsError(static_cast<std::uint32_t>(error.value())));
            temporary = true;
        }
    }
    bool opened = openFile();
    if (!opened && path.empty() && !temporary) {
        // Something in the log's place that could not even be moved aside: better a log in
        // the temporary folder than none.
        debugOutput(orvanet::format("Failed to open log file: {}", narrow(logPath)));
        useTemporaryFolder(logPath.parent_path(), "the log file could not be opened there");
        opened = openFile();
    }
    if (!opened) {
        // No log will say why: the debugger alone hears it.
        for (const std::string& notice : notices) {
            debugOutput(notice);
        }
        notices.clear();
        debugOutput(orvanet::format("Failed to open log file: {}", narrow(logPath)));
        return false;
    }
    if (!inSharedFolder) {
        // Rotation renames onto the older copy: a plant there must not stand in its way.
        std::string moved;
        std::error_code ignored;
        openOwnLogFile(olderCopyPath(), OPEN_EXISTING, moved, ignored);
        if (!moved.empty()) {
            notices.push_back(std::move(moved));
        }
    }
    initialized = true;
    writeToFile(kLineEnd);
    writeSelfLine("=== Service logging initialized ===");
    debugOutput(orvanet::format("Logging initialized to: {}", narrow(logPath)));
    writeNotices();
    return true;
}

bool Logger::useSystemLogFolder(const std::filesystem::path& held, const std::string& reason) {
    const std::filesystem::path directory = systemLogFolder();
    if (directory.empty()) {
        return false;
    }
    const std::filesystem::path base = directory.parent_path();
    FoundFolders found;
    std::error_code error;
    if (!folders.open(base, directory, found, error)) {
        return false;
    }
    logPath = directory / kLogFileName;
    notices.insert(notices.end(), found.moved.begin(), found.moved.end());
    notices.push_back(orvanet::format(
        "Log folder {} is not trusted and cannot be moved aside ({}); logging here instead",
        narrow(held), reason));
    return true;
}

void Logger::useTemporaryFolder(const std::filesystem::path& missed, const std::string& why) {
    folders.close();
    // Throws when the platform cannot name a temporary directory.
    const std::filesystem::path temp = std::filesystem::temp_directory_path().lexically_normal();
    // A folder of the service's own there, made and checked as the log's folders are: any
    // user may create files in the temporary folder, and one who planted something in the
    // log's place there would otherwise leave the service without a log.
    const std::filesystem::path own =
        temp.has_filename() ? temp / kTemporaryLogFolder : temp.parent_path() / kTemporaryLogFolder;
    FoundFolders found;
    std::error_code error;
    if (folders.open(own.parent_path(), own, found, error)) {
        logPath = own / kLogFileName;
        inSharedFolder = false;
        notices.insert(notices.end(), found.moved.begin(), found.moved.end());
    } else {
        // The last resort: the temporary folder itself, where others' files are left alone.
        logPath = temp / kLogFileName;
        inSharedFolder = true;
    }
    notices.push_back(orvanet::format("Log folder {} could not be used ({}); logging here instead",
                                      narrow(missed), why));
}

std::filesystem::path Logger::olderCopyPath() const {
    std::filesystem::path old = logPath;
    old.replace_extension(L".log.old");
    return old;
}

UniqueHandle Logger::openChecked(const std::filesystem::path& path) {
    std::error_code error;
    if (inSharedFolder) {
        // Where users may create files, a file that fails the checks is theirs: it is left
        // alone and not used.
        return openCheckedLogFile(path, error);
    }
    std::string moved;
    UniqueHandle checked = openOwnLogFile(path, OPEN_ALWAYS, moved, error);
    if (!moved.empty()) {
        notices.push_back(std::move(moved));
    }
    return checked;
}

void Logger::writeNotices() {
    for (const std::string& notice : notices) {
        const std::string line = orvanet::format("[{}] [WARN] {}", timestamp(), notice);
        writeToFile(orvanet::format("{}{}", line, kLineEnd));
        debugOutput(line);
    }
    notices.clear();
}

bool Logger::openFile() {
    // Held while the log opens the file, so that its name cannot pass to another file in
    // between; a link in the file's place is never followed.
    const UniqueHandle checked = openChecked(logPath);
    if (!checked) {
        return false;
    }
    // Others may read it, write it and rename it (rotation renames it while this handle stays
    // open, so that the log is never without one). A reader that will not share writing is
    // refused for as long as the service holds the log: it cannot shut the log out.
    file.reset(CreateFileW(logPath.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(file);
}

UniqueHandle Logger::openCompanionFile(const wchar_t* name) {
    std::lock_guard lock(mutex);
    if (!initialized) {
        return UniqueHandle();
    }
    const std::filesystem::path path = logPath.parent_path() / name;
    const UniqueHandle checked = openChecked(path);
    if (!checked) {
        return UniqueHandle();
    }
    UniqueHandle companion(CreateFileW(
        path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file && !fileFailed) {
        writeNotices();
    }
    return companion;
}

bool Logger::writeToFile(std::string_view text) {
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return ok && written == text.size();
}

void Logger::writeSelfLine(std::string_view message) {
    writeToFile(orvanet::format("[{}] [INFO] {}{}", timestamp(), message, kLineEnd));
}

void Logger::writeLine(LogLevel level, std::string_view message) {
    std::lock_guard lock(mutex);
    std::string line = orvanet::format("[{}] [{}] ", timestamp(), levelName(level));
    appendEscaped(line, message);
    if (initialized && fileFailed) {
        // Once per line at most: a disk that stays full costs one open per line, no more.
        resumeFile();
    }
    debugOutput(line);
    if (!initialized) {
        return;
    }
    if (fileFailed) {
        ++debuggerOnlyLines;
        return;
    }
    line += kLineEnd;
    if (!writeToFile(line)) {
        fileWriteFailed(GetLastError());
        ++debuggerOnlyLines;
        return;
    }
    rotateIfNeeded();
}

void Logger::fileWriteFailed(DWORD error) {
    file.reset();
    fileFailed = true;
    debuggerOnlyLines = 0;
    // A write that stopped short without failing leaves no error to name.
    const std::string cause = error != 0 ? " - " + formatWindowsError(error) : std::string();
    debugOutput(orvanet::format("Failed to write log file: {}{}; lines go to the debugger only "
                                "until it can be written again",
                                narrow(logPath), cause));
}

void Logger::resumeFile() {
    file.reset();
    const bool lineStart = endsAtLineStart(logPath);
    if (!openFile()) {
        return;
    }
    const std::string line =
        orvanet::format("[{}] [INFO] Log file written again; {} lines reached the debugger only",
                        timestamp(), debuggerOnlyLines);
    if (!writeToFile(orvanet::format("{}{}{}", lineStart ? "" : kLineEnd, line, kLineEnd))) {
        file.reset();
        return;
    }
    fileFailed = false;
    debuggerOnlyLines = 0;
    debugOutput(line);
    writeNotices();
}

std::filesystem::path Logger::filePath() {
    std::lock_guard lock(mutex);
    return initialized ? logPath : std::filesystem::path();
}

void Logger::logWindowsError(std::string_view api, std::uint32_t code) {
    const std::string text = formatWindowsError(code);
    log(LogLevel::Error, "ERROR in {}: Code 0x{:08X} - {}", api, code, text);
}

void Logger::close() {
    std::lock_guard lock(mutex);
    if (initialized && file) {
        writeSelfLine("=== Service logging closing ===");
    }
    file.reset();
    folders.close();
    initialized = false;
    fileFailed = false;
}

std::string Logger::timestamp() {
    const auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    // The text changes once a second, and making it (local time) costs more than writing
    // the line to the file, so the lines of one second share it.
    if (seconds == cachedSecond) {
        return cachedText;
    }
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    cachedText =
        orvanet::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", local.tm_year + 1900,
                        local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    cachedSecond = seconds;
    return cachedText;
}

void Logger::debugOutput(std::string_view text) {
    OutputDebugStringA(orvanet::format("[Orvanet] {}\n", text).c_str());
}

void Logger::rotateIfNeeded() {
    // The size of the file as it is, others' writes included, not a count of ours.
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size) ||
        static_cast<std::uintmax_t>(size.QuadPart) <= kRotateAboveBytes) {
        return;
    }
    const std::filesystem::path rotatedPath = olderCopyPath();
    if (renameLog(rotatedPath)) {
        // The renamed file's handle is let go only once the new log's is open.
        const UniqueHandle renamed = std::move(file);
        if (!openFile()) {
            fileWriteFailed(GetLastError());
            return;
        }
        writeSelfLine("Log file rotated");
    } else {
        rotateByCopy(rotatedPath, static_cast<std::uint64_t>(size.QuadPart));
    }
    writeNotices();
}

bool Logger::renameLog(const std::filesystem::path& rotatedPath) {
    // Renamed and deleted through handles opened without following links: what moves is
    // the file that was opened, whatever its path names by the time of the rename. A log
    // that another program holds without delete sharing (a backup, a scanner, a viewer)
    // cannot be opened for the rename.
    const UniqueHandle log = openWithoutFollowing(logPath, DELETE | FILE_READ_ATTRIBUTES);
    if (!log) {
        return false;
    }
    if (renameByHandle(log.get(), rotatedPath)) {
        return true;
    }
    // The older copy may be what stands in the way.
    UniqueHandle old = openWithoutFollowing(rotatedPath, DELETE);
    const bool deleted = old && deleteByHandle(old.get());
    old.reset();
    return deleted && renameByHandle(log.get(), rotatedPath);
}

void Logger::rotateByCopy(const std::filesystem::path& rotatedPath, std::uint64_t size) {
    // The log cannot be renamed, so it is rotated through a second handle of the service's
    // own: its lines are copied to the older copy and it is cut; readers may read on, and
    // the append handle goes on at the new end. Nothing is written in between: the mutex is
    // held, so every line is either in the older copy or in the log.
    const UniqueHandle log(ReOpenFile(file.get(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0));
    if (!log) {
        return; // the next line tries again
    }
    const DWORD copyError = copyToOlderCopy(log.get(), rotatedPath);
    FILE_END_OF_FILE_INFO end{};
    if (!SetFileInformationByHandle(log.get(), FileEndOfFileInfo, &end, sizeof end)) {
        return;
    }
    if (copyError == 0) {
        writeSelfLine("Log file rotated");
        return;
    }
    // The older copy is held too: the log's lines go rather than let it grow without bound.
    notices.push_back(orvanet::format("Log file rotated without an older copy ({}): {} bytes of "
                                      "the oldest lines dropped",
                                      formatWindowsError(copyError), size));
}

DWORD Logger::copyToOlderCopy(HANDLE log, const std::filesystem::path& rotatedPath) {
    const UniqueHandle checked = openChecked(rotatedPath);
    if (!checked) {
        return GetLastError() != 0 ? GetLastError() : ERROR_ACCESS_DENIED;
    }
    const UniqueHandle old(CreateFileW(rotatedPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!old) {
        return GetLastError();
    }
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(log, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
            return GetLastError();
        }
        if (read == 0) {
            return SetEndOfFile(old.get()) ? 0 : GetLastError();
        }
        DWORD written = 0;
        if (!WriteFile(old.get(), buffer.data(), read, &written, nullptr) || written != read) {
            return GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
        }
    }
}
