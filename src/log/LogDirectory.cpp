#include "log/LogDirectory.h"

#include "log/LogFileSecurity.h"

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

// Enables the privileges that let an administrator take a folder over whatever its DACL
// says, and puts them back as they were when it goes.
class TakeOverPrivileges {
public:
    TakeOverPrivileges() {
        HANDLE raw = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw)) {
            return;
        }
        token.reset(raw);
        struct {
            DWORD count;
            LUID_AND_ATTRIBUTES privileges[2];
        } wanted{2, {}};
        LookupPrivilegeValueW(nullptr, SE_TAKE_OWNERSHIP_NAME, &wanted.privileges[0].Luid);
        LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &wanted.privileges[1].Luid);
        wanted.privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        wanted.privileges[1].Attributes = SE_PRIVILEGE_ENABLED;
        DWORD size = sizeof previous;
        adjusted =
            AdjustTokenPrivileges(token.get(), FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(&wanted),
                                  size, reinterpret_cast<TOKEN_PRIVILEGES*>(&previous), &size);
    }
    ~TakeOverPrivileges() {
        if (adjusted) {
            AdjustTokenPrivileges(token.get(), FALSE,
                                  reinterpret_cast<TOKEN_PRIVILEGES*>(&previous), 0, nullptr,
                                  nullptr);
        }
    }
    TakeOverPrivileges(const TakeOverPrivileges&) = delete;
    TakeOverPrivileges& operator=(const TakeOverPrivileges&) = delete;

private:
    UniqueHandle token;
    struct {
        DWORD count;
        LUID_AND_ATTRIBUTES privileges[2];
    } previous{};
    BOOL adjusted = FALSE;
};

// Whether the folder, opened without following a link, is owned by a trusted account and
// writable by no one else.
bool folderIsProtected(HANDLE folder) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (GetSecurityInfo(folder, SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &dacl, nullptr, &raw) != ERROR_SUCCESS) {
        return false;
    }
    const LocalMemory descriptor(raw);
    std::vector<BYTE> self = ownAccountSid();
    return isProtectedFolder(owner, dacl, self.empty() ? nullptr : self.data());
}

// A folder of the log's path that exists: kept if it is protected, else taken over
// (Administrators as owner, the protected DACL) and checked again; refused if that fails.
bool protectFolder(const std::filesystem::path& path, PSECURITY_DESCRIPTOR protectedDescriptor,
                   std::error_code& error) {
    const std::error_code refused(ERROR_ACCESS_DENIED, std::system_category());
    UniqueHandle folder = openWithoutFollowing(path, READ_CONTROL | FILE_READ_ATTRIBUTES);
    BY_HANDLE_FILE_INFORMATION information{};
    if (!folder || !GetFileInformationByHandle(folder.get(), &information)) {
        error = lastError();
        return false;
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        error = std::error_code(ERROR_CANT_ACCESS_FILE, std::system_category());
        return false;
    }
    if (folderIsProtected(folder.get())) {
        return true;
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(protectedDescriptor, &present, &dacl, &defaulted);
    BYTE administrators[SECURITY_MAX_SID_SIZE] = {};
    DWORD sidSize = sizeof administrators;
    CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &sidSize);
    {
        const TakeOverPrivileges privileges;
        const UniqueHandle writable =
            openWithoutFollowing(path, READ_CONTROL | WRITE_DAC | WRITE_OWNER);
        if (!writable || SetSecurityInfo(writable.get(), SE_FILE_OBJECT,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                             PROTECTED_DACL_SECURITY_INFORMATION,
                                         administrators, nullptr, dacl, nullptr) != ERROR_SUCCESS) {
            error = refused;
            return false;
        }
    }
    if (!folderIsProtected(folder.get())) {
        error = refused;
        return false;
    }
    return true;
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
                          const std::filesystem::path& directory, std::error_code& error) {
    error.clear();
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
        // service first runs): below the base, each must be ours alone.
        if (insideBase && !protectFolder(current, descriptor.get(), error)) {
            return false;
        }
    }
    return true;
}
