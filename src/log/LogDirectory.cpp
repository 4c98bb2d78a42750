#include "log/LogDirectory.h"

#include "log/LogFileSecurity.h"

#include "log/Format.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <vector>

namespace {

// SYSTEM and Administrators: full control; Users: read and traverse. "P" protects the
// DACL from the permissive entries that the base folder would otherwise pass down.
constexpr wchar_t kLogFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;GRGX;;;BU)";

std::error_code lastError() {
    return {static_cast<int>(GetLastError()), std::system_category()};
}

bool isPlainDirectory(const std::filesystem::path& path, std::error_code& error) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        error = lastError();
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        error = std::error_code(ERROR_CANT_ACCESS_FILE, std::system_category());
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        error = std::error_code(ERROR_DIRECTORY, std::system_category());
        return false;
    }
    return true;
}

bool createProtectedDirectory(const std::filesystem::path& path, SECURITY_ATTRIBUTES* security,
                              std::error_code& error) {
    // Whatever was made or found, it must be a plain folder: a dangling link answers
    // "not found" to the look-up and would have the folder made wherever it points.
    if (CreateDirectoryW(path.c_str(), security) || GetLastError() == ERROR_ALREADY_EXISTS) {
        return isPlainDirectory(path, error);
    }
    error = lastError();
    return false;
}

// Whether the folder at `path`, opened without following a link, may be kept: a plain
// folder owned by a trusted account and writable by no one else. `distrust` says why not.
bool folderMayBeKept(const std::filesystem::path& path, const char*& distrust,
                     std::error_code& error) {
    UniqueHandle folder = openWithoutFollowing(path, READ_CONTROL | FILE_READ_ATTRIBUTES);
    BY_HANDLE_FILE_INFORMATION information{};
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!folder || !GetFileInformationByHandle(folder.get(), &information) ||
        GetSecurityInfo(folder.get(), SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &dacl, nullptr, &raw) != ERROR_SUCCESS) {
        error = lastError();
        distrust = nullptr;
        return false;
    }
    const LocalMemory descriptor(raw);
    std::vector<BYTE> self = ownAccountSid();
    distrust = distrustOfLogFolder(information.dwFileAttributes, owner, dacl,
                                   self.empty() ? nullptr : self.data());
    return distrust == nullptr;
}

// A link that does not resolve (GetFileAttributesW follows it and fails): the directory
// listing of its parent still shows it as a reparse point.
bool isLink(const std::filesystem::path& path) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(path.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        return false;
    }
    FindClose(find);
    return (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

} // namespace

bool createLogDirectories(const std::filesystem::path& trustedBase,
                          const std::filesystem::path& directory, FoundFolders& found,
                          std::error_code& error) {
    error.clear();
    found = {};
    PSECURITY_DESCRIPTOR rawDescriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kLogFolderSddl, SDDL_REVISION_1,
                                                              &rawDescriptor, nullptr)) {
        error = lastError();
        return false;
    }
    const LocalMemory descriptor(rawDescriptor);
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), descriptor.get(), FALSE};

    // With its trailing separator, so that "C:\\Data" does not count as inside "C:\\Dat".
    const std::filesystem::path base = (trustedBase.lexically_normal() / L"").lexically_normal();
    std::filesystem::path current;
    for (const auto& component : directory.lexically_normal()) {
        current /= component;
        if (!current.has_relative_path()) {
            continue; // the root ("C:\") always exists
        }
        const bool insideBase = current.native().starts_with(base.native());
        const DWORD attributes = GetFileAttributesW(current.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            if (insideBase && isLink(current)) {
                error = std::error_code(ERROR_CANT_ACCESS_FILE, std::system_category());
                return false;
            }
            if (!createProtectedDirectory(current, &security, error)) {
                return false;
            }
        } else if (insideBase) {
            if (!isPlainDirectory(current, error)) {
                return false;
            }
        } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            error = std::error_code(ERROR_DIRECTORY, std::system_category());
            return false;
        }
        // Made now or found (an ordinary user may make any of these folders before the
        // service first runs): below the base, each must be ours alone. One that is not was
        // made by someone else, who may still hold a handle that lets them change it: it is
        // moved aside, not taken over, and made anew.
        const char* distrust = nullptr;
        if (!insideBase || folderMayBeKept(current, distrust, error)) {
            continue;
        }
        if (distrust == nullptr) {
            return false;
        }
        std::filesystem::path aside;
        if (!moveAside(current, aside)) {
            error = lastError();
            found.heldUntrusted = current;
            return false;
        }
        found.moved.push_back(orvanet::format("{} was {}; moved aside to {}",
                                              current.filename().string(), distrust,
                                              aside.filename().string()));
        if (!createProtectedDirectory(current, &security, error)) {
            return false;
        }
        if (!folderMayBeKept(current, distrust, error)) {
            if (distrust != nullptr) {
                error = std::error_code(ERROR_ACCESS_DENIED, std::system_category());
            }
            return false;
        }
    }
    return true;
}
