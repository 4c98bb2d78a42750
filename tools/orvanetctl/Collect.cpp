#include "Collect.h"

#include "Redaction.h"
#include "ReportFolder.h"
#include "ServiceIdentity.h"
#include "log/LogFileSecurity.h"
#include "platform/ModuleFolder.h"
#include "platform/ModuleVersion.h"
#include "platform/Owners.h"
#include "platform/ProgramData.h"
#include "platform/Utf8.h"

#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kDumpsKept = 5;
// The service's own files in a log folder; the log first.
constexpr const wchar_t* kLogFiles[] = {L"Orvanet_service.log", L"Orvanet_service.log.old",
                                        L"Orvanet_crash.log"};
// Twice the log's rotation limit: more is not the service's log.
constexpr LONGLONG kReadLimit = 64LL * 1024 * 1024;

std::string shown(const fs::path& path) {
    return toUtf8(path.native(), InvalidText::Replace).value_or("?");
}

std::string errorText(DWORD error) {
    std::string text = "error " + std::to_string(error);
    if (error == ERROR_ACCESS_DENIED) {
        text += ": readable only by administrators; run orvanetctl collect as one";
    }
    return text;
}

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

const char* stateName(DWORD state) {
    switch (state) {
    case SERVICE_STOPPED:
        return "STOPPED";
    case SERVICE_START_PENDING:
        return "START_PENDING";
    case SERVICE_STOP_PENDING:
        return "STOP_PENDING";
    case SERVICE_RUNNING:
        return "RUNNING";
    default:
        return "other";
    }
}

const char* startTypeName(DWORD type) {
    switch (type) {
    case SERVICE_AUTO_START:
        return "automatic";
    case SERVICE_DEMAND_START:
        return "on demand";
    case SERVICE_DISABLED:
        return "disabled";
    default:
        return "boot or system";
    }
}

// The service as the Service Control Manager reports it; binaryPath is set when known.
std::string serviceReport(const std::wstring& name, fs::path& binaryPath, std::string& failure) {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(manager ? OpenServiceW(manager.get(), name.c_str(),
                                                 SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS)
                                  : nullptr);
    DWORD needed = 0;
    if (service) {
        QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    }
    std::vector<unsigned char> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    SERVICE_STATUS_PROCESS status{};
    if (!service || needed == 0 || !QueryServiceConfigW(service.get(), config, needed, &needed) ||
        !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
        const DWORD error = GetLastError();
        failure = error == ERROR_SERVICE_DOES_NOT_EXIST ? "the service is not installed"
                                                        : "error " + std::to_string(error);
        return {};
    }
    std::wstring command = config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : L"";
    binaryPath = serviceProgram(command, [](const fs::path& path) {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES &&
               (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    });
    const auto text = [](const wchar_t* value) {
        return toUtf8(value != nullptr ? value : L"", InvalidText::Replace).value_or("");
    };
    return "name: " + text(name.c_str()) + "\nstart type: " + startTypeName(config->dwStartType) +
           " (" + std::to_string(config->dwStartType) +
           ")\naccount: " + text(config->lpServiceStartName) +
           "\nbinary path: " + text(command.c_str()) +
           "\nstate: " + stateName(status.dwCurrentState) + " (" +
           std::to_string(status.dwCurrentState) +
           ")\nlast exit code: " + std::to_string(status.dwWin32ExitCode) + " (service-specific " +
           std::to_string(status.dwServiceSpecificExitCode) +
           ")\nprocess id: " + std::to_string(status.dwProcessId) + "\n";
}

std::string fileVersion(const fs::path& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    std::vector<unsigned char> info(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, info.data()) ||
        !VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
        fixed == nullptr) {
        return "no version: error " + std::to_string(GetLastError());
    }
    return versionText(*fixed);
}

std::string now() {
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_s(&local, &t);
    char text[32] = {};
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

// One collection: what is gathered, kept in memory until the names in it are known; the
// summary lists every item in the order it was met.
class Collection {
public:
    Collection(fs::path target, ReportFolder& folder, bool redact, const LocalNames& names)
        : target(std::move(target)), folder(folder), redact(redact),
          redaction(names.profilesFolder) {
        // Before anything is written: whoever collects is named in the report's own paths.
        redaction.learnAccount(names.account);
        redaction.learnProfile(names.profile);
    }

    // `origin`: the folder a copy came from, named in the summary.
    void text(const std::string& name, std::string bytes, const std::string& origin = {}) {
        items.push_back({name, std::move(bytes), Kind::Text, {}, origin});
    }
    void binary(const std::string& name, std::string bytes, const std::string& origin) {
        items.push_back({name, std::move(bytes), Kind::Binary, {}, origin});
    }
    void missing(const std::string& name, const std::string& why, bool failure) {
        items.push_back({name, {}, Kind::Missing, why, {}});
        failed = failed || failure;
    }

    CliOutput finish() {
        // A copy of a dump is as much a SYSTEM process's stacks as the dump itself.
        PSECURITY_DESCRIPTOR raw = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kCrashDumpSddl, SDDL_REVISION_1,
                                                                  &raw, nullptr)) {
            failed = true;
        }
        const LocalMemory dumpDescriptor(raw);
        for (const Item& item : items) {
            if (item.kind == Kind::Text) {
                redaction.learn(item.bytes);
            }
        }
        std::string lines;
        std::string holdingNames;
        for (const Item& item : items) {
            std::string failure;
            if (item.kind == Kind::Missing) {
                lines += "not gathered: " + item.name + ": " + item.why + "\n";
                continue;
            }
            const std::string bytes =
                item.kind == Kind::Text && redact ? redaction.apply(item.bytes) : item.bytes;
            if (item.kind == Kind::Text && redact && redaction.holdsLeftOut(bytes)) {
                holdingNames += (holdingNames.empty() ? "" : ", ") + item.name;
            }
            if (item.kind == Kind::Binary && !dumpDescriptor) {
                lines += "not gathered: " + item.name +
                         ": its protection could not be made, so it was not copied\n";
                continue;
            }
            if (folder.write(toUtf16(item.name), bytes,
                             item.kind == Kind::Binary ? dumpDescriptor.get() : nullptr, failure)) {
                lines += "gathered: " + item.name + " (" + std::to_string(bytes.size()) +
                         " bytes)" + (item.origin.empty() ? "" : " from " + item.origin) + "\n";
            } else {
                lines += "not gathered: " + item.name + ": " + failure + "\n";
                failed = true;
            }
        }
        std::string summary = "Orvanet problem report, collected " + now() + "\n";
        summary += redact ? "Account and machine names and the user-profile part of paths are "
                            "replaced by placeholders (<user-N>, <domain-N>) in the text files; " +
                                std::to_string(redaction.names()) +
                                " names replaced. Crash dumps are copied as they are.\n"
                          : "Not redacted (--no-redact): the files hold account names and "
                            "paths as written.\n";
        if (redact && redaction.notReplaced() > 0) {
            summary += std::to_string(redaction.notReplaced()) + " names of fewer than " +
                       std::to_string(Redaction::kShortestName) +
                       " characters, or written like a placeholder, are not replaced: they "
                       "cannot be told from ordinary words.\n";
        }
        if (redact && redaction.leftOut() > 0) {
            summary += "THIS REPORT MAY HOLD NAMES: more than " +
                       std::to_string(Redaction::kMostNames) + " names were found, and " +
                       std::to_string(redaction.leftOut()) +
                       " more are not replaced. Files that hold them: " +
                       (holdingNames.empty() ? std::string("none") : holdingNames) + ".\n";
            failed = true;
        }
        summary += lines;
        // The summary names folders and files, which may run through a user's profile.
        if (redact) {
            summary = redaction.apply(summary);
        }
        std::string failure;
        CliOutput output;
        if (!folder.write(L"summary.txt", summary, nullptr, failure)) {
            output.err = "orvanetctl: summary.txt " + failure + "\n";
            output.status = exitError;
            return output;
        }
        output.out = summary;
        output.status = failed ? exitError : exitOk;
        if (redact && redaction.leftOut() > 0) {
            output.err = "orvanetctl: the report in " + shown(target) +
                         " may hold names that were not replaced; summary.txt says which files\n";
        } else if (failed) {
            output.err = "orvanetctl: not everything could be gathered into " + shown(target) +
                         "; summary.txt says what and why\n";
        }
        return output;
    }

private:
    enum class Kind { Text, Binary, Missing };
    struct Item {
        std::string name;
        std::string bytes;
        Kind kind;
        std::string why;
        std::string origin;
    };

    fs::path target;
    ReportFolder& folder;
    bool redact;
    Redaction redaction;
    std::vector<Item> items;
    bool failed = false;
};

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

bool holdsServiceFiles(const fs::path& folder) {
    for (const wchar_t* name : kLogFiles) {
        if (GetFileAttributesW((folder / name).c_str()) != INVALID_FILE_ATTRIBUTES) {
            return true;
        }
    }
    std::string ignored;
    return !newestDumps(folder, ignored).empty();
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

} // namespace

CliOutput runCollect(const fs::path& target, const CollectSettings& settings) {
    CliOutput output;
    ReportFolder folder;
    DWORD error = 0;
    if (!folder.make(target, error)) {
        if (error == ERROR_ALREADY_EXISTS) {
            output.err = "orvanetctl: " + shown(target) +
                         " exists; collect writes only into a folder it makes\n";
        } else {
            output.err = "orvanetctl: " + shown(target) + " cannot be made: error " +
                         std::to_string(error) + "\n";
        }
        return output;
    }
    if (settings.afterFolderMade) {
        settings.afterFolderMade(target);
    }
    Collection collection(target, folder, settings.redact,
                          settings.names ? *settings.names : localNames());
    if (!settings.logFolder.empty()) {
        gatherLogFolder(collection, settings.logFolder, "", true);
    } else {
        gatherServiceLogs(collection, settings.serviceFolders.empty() ? serviceLogFolders()
                                                                      : settings.serviceFolders);
    }
    gatherPlatformDumps(collection, settings.platformDumpFolder.empty()
                                        ? platformDumpFolder()
                                        : settings.platformDumpFolder);

    std::string failure;
    fs::path binary;
    const std::string service = serviceReport(settings.client.serviceName, binary, failure);
    if (failure.empty()) {
        collection.text("service.txt", service);
    } else {
        collection.missing("service.txt", failure, true);
    }

    std::string versions = "orvanetctl.exe " + shown(modulePath(nullptr)) + ": " +
                           fileVersion(modulePath(nullptr)) + "\n";
    if (!binary.empty()) {
        versions += "Orvanet.exe " + shown(binary) + ": " + fileVersion(binary) + "\n";
        const fs::path engine = binary.parent_path() / L"tun2proxy.dll";
        versions += "tun2proxy.dll " + shown(engine) + ": " + fileVersion(engine) + "\n";
    } else {
        versions += "Orvanet.exe and tun2proxy.dll: not found, the service is not known\n";
    }
    collection.text("versions.txt", versions);

    const CliOutput active = runCli({"active"}, settings.client);
    collection.text("active.txt", active.out + "\n" + active.err + "(exit status " +
                                      std::to_string(active.status) + ")\n");
    return collection.finish();
}
