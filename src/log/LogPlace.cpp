// Where the log goes: the service's own folders under ProgramData, made and checked and held;
// else System32\LogFiles\Orvanet, where only administrators make folders; else a folder of
// its own in the temporary folder, or that folder itself. Each step that could not be taken
// is a notice, said once a file is open.
#include "log/Logger.h"
#include "log/LoggerParts.h"

#include "log/LogDirectory.h"
#include "log/LogFileSecurity.h"
#include "platform/ProgramData.h"

using namespace logparts;

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
