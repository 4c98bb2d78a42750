#include "LogGathering.h"

#include "ReportText.h"
#include "log/LogFileSecurity.h"
#include "platform/Owners.h"
#include "platform/ProgramData.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kDumpsKept = 5;
// The service's own files in a log folder; the log first.
constexpr const wchar_t* kLogFiles[] = {L"Orvanet_service.log", L"Orvanet_service.log.old",
                                        L"Orvanet_crash.log"};
// Twice the log's rotation limit: more is not the service's log.
constexpr LONGLONG kReadLimit = 64LL * 1024 * 1024;

// A file of the log folder, read without changing it, with the checks the service's own log
// passes: a plain file of one name, not a link, of a trusted owner; anything else there may
// be anyone's plant and is left alone.
struct Read {
    bool exists = false;
    std::string bytes;
    std::string failure; // empty when read
};

Read readPlainFile(const fs::path& path) {
    Read read;
    std::error_code error;
    const char* distrust = nullptr;
    // Every sharing: the service goes on writing, renaming and cutting its log meanwhile.
    const UniqueHandle file =
        openCheckedLogFile(path, error, &distrust, OPEN_EXISTING,
                           GENERIC_READ | READ_CONTROL | FILE_READ_ATTRIBUTES, true);
    const auto code = static_cast<DWORD>(error.value());
    read.exists = code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND;
    LARGE_INTEGER size{};
    if (!file) {
        read.failure = distrust != nullptr
                           ? std::string("not the service's own (") + distrust + "): left alone"
                       : read.exists ? errorText(code)
                                     : "there is none";
    } else if (!GetFileSizeEx(file.get(), &size)) {
        read.failure = errorText(GetLastError());
    } else if (size.QuadPart > kReadLimit) {
        read.failure = std::to_string(size.QuadPart) + " bytes, more than the service ever writes";
    } else {
        read.bytes.resize(static_cast<std::size_t>(size.QuadPart));
        DWORD got = 0;
        if (size.QuadPart > 0 && !ReadFile(file.get(), read.bytes.data(),
                                           static_cast<DWORD>(size.QuadPart), &got, nullptr)) {
            read.failure = errorText(GetLastError());
        }
        read.bytes.resize(got); // a log cut meanwhile is shorter
    }
    return read;
}

// The newest crash dumps by name, which begins with the time of the crash.
std::vector<std::wstring> newestDumps(const fs::path& folder, std::string& failure) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found{};
    FindHandle search(FindFirstFileExW((folder / L"Orvanet_crash_*.dmp").c_str(), FindExInfoBasic,
                                       &found, FindExSearchNameMatch, nullptr, 0));
    if (!search) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            failure = errorText(error);
        }
        return names;
    }
    do {
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
            0) {
            names.emplace_back(found.cFileName);
        }
    } while (FindNextFileW(search.get(), &found));
    std::sort(names.rbegin(), names.rend());
    names.resize(std::min(names.size(), kDumpsKept));
    return names;
}

bool holdsServiceFiles(const fs::path& folder) {
    for (const wchar_t* name : kLogFiles) {
        if (GetFileAttributesW((folder / name).c_str()) != INVALID_FILE_ATTRIBUTES) {
            return true;
        }
    }
    std::string ignored;
    return !newestDumps(folder, ignored).empty();
}

} // namespace

// The log folder's files: copies named `prefix` + their own name. A missing log is a failure
// only where a log is expected.
void gatherLogFolder(Collection& collection, const fs::path& folder, const std::string& prefix,
                     bool logExpected) {
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        collection.missing(shown(folder), "the log folder is a link: not followed", true);
        return;
    }
    const std::string origin = shown(folder);
    for (const wchar_t* name : kLogFiles) {
        const Read read = readPlainFile(folder / name);
        const std::string shownName = prefix + shown(name);
        if (read.failure.empty()) {
            collection.text(shownName, read.bytes, origin);
        } else {
            // The older copy and the crash log exist only after a rotation or a crash.
            const bool expected = logExpected && std::wstring(name) == kLogFiles[0];
            collection.missing(shownName, read.failure, read.exists || expected);
        }
    }
    std::string failure;
    const std::vector<std::wstring> dumps = newestDumps(folder, failure);
    if (!failure.empty()) {
        collection.missing(prefix + "crash dumps", failure, true);
    } else if (dumps.empty()) {
        collection.missing(prefix + "crash dumps", "there are none", false);
    }
    for (const std::wstring& name : dumps) {
        const Read read = readPlainFile(folder / name);
        if (read.failure.empty()) {
            collection.binary(prefix + shown(name), read.bytes, origin);
        } else {
            collection.missing(prefix + shown(name), read.failure, true);
        }
    }
}

// The platform's own dumps of the service (Windows Error Reporting's LocalDumps, in the
// default folder of the service's account): what ended the process past every handler of
// its own, a fail-fast. Only the service's, the newest kDumpsKept, by the time they were
// written.
void gatherPlatformDumps(Collection& collection, const fs::path& folder) {
    std::vector<std::pair<ULONGLONG, std::wstring>> found;
    WIN32_FIND_DATAW data{};
    FindHandle search(FindFirstFileExW((folder / L"Orvanet.exe.*.dmp").c_str(), FindExInfoBasic,
                                       &data, FindExSearchNameMatch, nullptr, 0));
    if (search) {
        do {
            if ((data.dwFileAttributes &
                 (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0) {
                found.emplace_back((ULONGLONG{data.ftLastWriteTime.dwHighDateTime} << 32) |
                                       data.ftLastWriteTime.dwLowDateTime,
                                   data.cFileName);
            }
        } while (FindNextFileW(search.get(), &data));
    }
    if (found.empty()) {
        collection.missing("the platform's crash dumps", "there are none", false);
        return;
    }
    std::sort(found.rbegin(), found.rend());
    found.resize(std::min(found.size(), kDumpsKept));
    for (const auto& [written, name] : found) {
        const Read read = readPlainFile(folder / name);
        if (read.failure.empty()) {
            collection.binary(shown(name), read.bytes, shown(folder));
        } else {
            collection.missing(shown(name), read.failure, true);
        }
    }
}

// Where the service may have logged, in the order it tries them: its own folder, the
// system's log folder (when its own was held by someone else), and its folder in
// LocalSystem's temporary folder, or that folder itself (when neither could be used).
std::vector<fs::path> serviceLogFolders() {
    std::vector<fs::path> folders{serviceLogFolder()};
    if (const fs::path system = systemLogFolder(); !system.empty()) {
        folders.push_back(system);
    }
    wchar_t windows[MAX_PATH] = {};
    const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        const fs::path temp = fs::path(windows, windows + length) / L"Temp";
        folders.push_back(temp / kTemporaryLogFolder);
        folders.push_back(temp);
    }
    return folders;
}

// Every folder of `folders` that holds any of the service's files; the first one's copies
// keep their names, the others' are named after their folder and the one above it
// ("LogFiles.Orvanet-Orvanet_service.log": two of the folders are named Orvanet).
void gatherServiceLogs(Collection& collection, const std::vector<fs::path>& folders) {
    bool first = true;
    std::string lookedIn;
    for (const fs::path& folder : folders) {
        lookedIn += (lookedIn.empty() ? "" : ", ") + shown(folder);
        if (!holdsServiceFiles(folder)) {
            continue;
        }
        const std::string label =
            shown(folder.parent_path().filename()) + "." + shown(folder.filename()) + "-";
        gatherLogFolder(collection, folder, first ? "" : label, first);
        first = false;
    }
    if (first) {
        collection.missing(shown(kLogFiles[0]), "there is none in " + lookedIn, true);
    }
}
