#include "log/LogDirectory.h"

#include <windows.h>
#include <sddl.h>

#include <memory>

namespace {

// SYSTEM and Administrators: full control; Users: read and traverse. "P" protects the
// DACL from the permissive entries that the base folder would otherwise pass down.
constexpr wchar_t kLogFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;GRGX;;;BU)";

struct LocalFreeDeleter {
    void operator()(void* p) const { LocalFree(p); }
};

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

bool isReparsePoint(const std::filesystem::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool createLogDirectories(const std::filesystem::path& trustedBase,
                          const std::filesystem::path& directory, std::error_code& error) {
    error.clear();
    PSECURITY_DESCRIPTOR rawDescriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kLogFolderSddl, SDDL_REVISION_1,
                                                              &rawDescriptor, nullptr)) {
        error = lastError();
        return false;
    }
    std::unique_ptr<void, LocalFreeDeleter> descriptor(rawDescriptor);
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
    }
    return true;
}
