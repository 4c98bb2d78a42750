#include "log/Logger.h"

#include "log/LineText.h"
#include "log/LoggerParts.h"

#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <new>

using namespace logparts;

namespace {

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

} // namespace

std::string logparts::narrow(const std::filesystem::path& path) {
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

void Logger::writeNotices() {
    for (const std::string& notice : notices) {
        const std::string line = orvanet::format("[{}] [WARN] {}", timestamp(), notice);
        writeToFile(orvanet::format("{}{}", line, kLineEnd));
        debugOutput(line);
    }
    notices.clear();
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
