// The log's file: opened after its checks, appended to in whole lines, given up on a failed
// write and tried again, and rotated into its older copy, by a rename or, where another
// program holds it, by a copy.
#include "log/Logger.h"
#include "log/LoggerParts.h"

#include "log/LogFileSecurity.h"

#include <vector>

using namespace logparts;

namespace {

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

std::filesystem::path Logger::olderCopyPath() const {
    std::filesystem::path old = logPath;
    old.replace_extension(L".log.old");
    return old;
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
