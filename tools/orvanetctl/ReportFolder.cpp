#include "ReportFolder.h"

#include "log/LogDirectory.h"
#include "log/LogFileSecurity.h"

#include <sddl.h>
#include <winternl.h>

namespace {

// The maker (the administrator who runs collect), SYSTEM and Administrators; protected, so
// that nothing the parent grants others is passed down.
LocalMemory reportDescriptor(DWORD& error) {
    const std::vector<BYTE>& self = ownAccountSid();
    LPWSTR maker = nullptr;
    if (self.empty() || !ConvertSidToStringSidW(const_cast<BYTE*>(self.data()), &maker)) {
        error = self.empty() ? ERROR_INVALID_SID : GetLastError();
        return LocalMemory();
    }
    const LocalMemory makerText(maker);
    const std::wstring sddl =
        L"D:P(A;OICI;FA;;;" + std::wstring(maker) + L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        error = GetLastError();
    }
    return LocalMemory(descriptor);
}

} // namespace

bool ReportFolder::make(const std::filesystem::path& target, DWORD& error) {
    std::filesystem::path clean = target.lexically_normal();
    if (!clean.has_filename()) {
        clean = clean.parent_path();
    }
    const std::filesystem::path parentPath = clean.has_parent_path() ? clean.parent_path() : L".";
    // The parent is the caller's choice, links and all: only what is made below it is held.
    const UniqueHandle parent(
        CreateFileW(parentPath.c_str(), FILE_TRAVERSE | FILE_ADD_SUBDIRECTORY | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const LocalMemory descriptor = parent ? reportDescriptor(error) : LocalMemory();
    if (!parent || !descriptor) {
        error = parent ? error : GetLastError();
        return false;
    }
    // Made and opened in one step, so there is no moment in which it exists unheld.
    if (const std::error_code made =
            openRelative(parent.get(), clean.filename().native(),
                         FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE, FILE_DIRECTORY_FILE,
                         descriptor.get(), folder)) {
        error = static_cast<DWORD>(made.value());
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(folder.get(), &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        error = ERROR_CANT_ACCESS_FILE;
        folder.reset();
        return false;
    }
    return true;
}

bool ReportFolder::write(const std::wstring& name, const std::string& bytes,
                         PSECURITY_DESCRIPTOR descriptor, std::string& failure) {
    UniqueHandle file;
    const std::error_code made =
        openRelative(folder.get(), name, GENERIC_WRITE | DELETE, 0, FILE_CREATE,
                     FILE_NON_DIRECTORY_FILE, descriptor, file);
    DWORD written = 0;
    DWORD error = 0;
    if (made) {
        error = static_cast<DWORD>(made.value());
    } else if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                          nullptr)) {
        error = GetLastError();
    } else if (written != bytes.size()) {
        error = ERROR_HANDLE_DISK_FULL;
    } else {
        return true;
    }
    if (file) {
        deleteByHandle(file.get());
    }
    failure = "could not be written: error " + std::to_string(error);
    return false;
}
