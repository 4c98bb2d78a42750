#include "log/LogDirectory.h"

#include "log/LogFileSecurity.h"

#include "log/Format.h"
#include "log/Logger.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <winternl.h>

#include <algorithm>
#include <vector>

namespace {

// SYSTEM and Administrators: full control; Users: read and traverse. "P" protects the
// DACL from the permissive entries that the base folder would otherwise pass down.
constexpr wchar_t kLogFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;GRGX;;;BU)";

std::error_code lastError() {
    return {static_cast<int>(GetLastError()), std::system_category()};
}

// Rights a kept folder handle needs: to look inside and to check its owner and DACL. None
// of them lets anyone else in, and DELETE is not among them, so that others may still open
// the folder to read it while the log holds it.
constexpr ACCESS_MASK kHeldAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
constexpr ULONG kFileRenameInformation = 10;
constexpr NTSTATUS kNotADirectory = static_cast<NTSTATUS>(0xC0000103);

// FILE_RENAME_INFORMATION, with room for the new name.
struct RenameInformation {
    BOOLEAN replaceIfExists;
    HANDLE rootDirectory;
    ULONG fileNameLength;
    WCHAR fileName[MAX_PATH];
};

std::error_code fromStatus(NTSTATUS status) {
    return {static_cast<int>(RtlNtStatusToDosError(status)), std::system_category()};
}

NTSTATUS openNt(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG share,
                ULONG disposition, ULONG options, PSECURITY_DESCRIPTOR descriptor,
                UniqueHandle& opened) {
    UNICODE_STRING text{static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                        static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                        const_cast<PWSTR>(name.c_str())};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, parent, descriptor);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    const NTSTATUS status = NtCreateFile(
        &handle, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
        disposition, options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    opened.reset(NT_SUCCESS(status) ? handle : nullptr);
    return status;
}

// `name` in the folder `parent`, as a folder, without following a link in it.
NTSTATUS openFolder(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG share,
                    ULONG disposition, PSECURITY_DESCRIPTOR descriptor, UniqueHandle& folder) {
    return openNt(parent, name, access, share, disposition, FILE_DIRECTORY_FILE, descriptor,
                  folder);
}

// Why the folder behind `folder` may not be relied on, or null if it may, and whether it is a
// link; false with the platform's error if that cannot be read.
bool judgeFolder(HANDLE folder, const char*& distrust, bool& link, std::error_code& error) {
    BY_HANDLE_FILE_INFORMATION information{};
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!GetFileInformationByHandle(folder, &information) ||
        GetSecurityInfo(folder, SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &dacl, nullptr, &raw) != ERROR_SUCCESS) {
        error = lastError();
        return false;
    }
    const LocalMemory descriptor(raw);
    std::vector<BYTE> self = ownAccountSid();
    distrust = distrustOfLogFolder(information.dwFileAttributes, owner, dacl,
                                   self.empty() ? nullptr : self.data());
    link = (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    return true;
}

// Moves the folder (or whatever has its name) `name` in `parent` aside, renamed relative to
// `parent`: the rename names no path that could lead elsewhere. False with the platform's error, a
// sharing violation when someone holds it without delete sharing.
bool moveFolderAside(HANDLE parent, const std::wstring& name, std::wstring& aside,
                     std::error_code& error) {
    UniqueHandle folder;
    // Whatever it is, a folder, a file or a link itself (the link is never followed).
    NTSTATUS status = openNt(parent, name, DELETE | FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, 0,
                             nullptr, folder);
    aside = untrustedName(name);
    if (NT_SUCCESS(status)) {
        RenameInformation rename{FALSE, parent, 0, {}};
        const std::size_t length = std::min<std::size_t>(aside.size(), MAX_PATH);
        rename.fileNameLength = static_cast<ULONG>(length * sizeof(wchar_t));
        std::copy_n(aside.c_str(), length, rename.fileName);
        IO_STATUS_BLOCK io{};
        status = NtSetInformationFile(folder.get(), &io, &rename, sizeof rename,
                                      static_cast<FILE_INFORMATION_CLASS>(kFileRenameInformation));
    }
    if (!NT_SUCCESS(status)) {
        error = fromStatus(status);
        return false;
    }
    return true;
}

// The folders from the root down to the base: the administrator's, made if missing.
bool makeBase(const std::filesystem::path& base, SECURITY_ATTRIBUTES* security,
              std::error_code& error) {
    std::filesystem::path current;
    for (const auto& component : base) {
        current /= component;
        if (!current.has_relative_path()) {
            continue; // the root ("C:\") always exists
        }
        if (!CreateDirectoryW(current.c_str(), security) &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
            error = lastError();
            return false;
        }
    }
    return true;
}

// The folder `current` (its last name) in `parent`, made if missing with `descriptor`, and
// ours alone: one that is not, or a file or a link in its place (an ordinary user may make any
// of these before the service first runs), is moved aside and made anew. Null, with the
// error, when that cannot be done; `found` then names a folder that is held or back each time.
UniqueHandle openOwnFolder(HANDLE parent, const std::filesystem::path& current,
                           PSECURITY_DESCRIPTOR descriptor, FoundFolders& found,
                           std::error_code& error) {
    const std::wstring name = current.filename().native();
    UniqueHandle folder;
    for (int round = 0; !folder; ++round) {
        const NTSTATUS status =
            openFolder(parent, name, kHeldAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF,
                       descriptor, folder);
        const char* distrust = nullptr;
        if (status == kNotADirectory) {
            // A file in the folder's place (users may make files in ProgramData).
            distrust = "a file";
        } else if (!NT_SUCCESS(status)) {
            error = fromStatus(status);
            return UniqueHandle();
        } else {
            bool link = false;
            if (!judgeFolder(folder.get(), distrust, link, error)) {
                return UniqueHandle();
            }
            if (distrust == nullptr) {
                break;
            }
            folder.reset();
        }
        // A user racing to make it again between the two is met by the next round; one who
        // wins every round is treated as one who holds it.
        if (round == 2) {
            found.heldUntrusted = current;
            found.heldReason = "it was back each time it was moved aside";
            error = std::error_code(ERROR_CANT_ACCESS_FILE, std::system_category());
            return UniqueHandle();
        }
        std::wstring aside;
        if (!moveFolderAside(parent, name, aside, error)) {
            found.heldUntrusted = current;
            found.heldReason = formatWindowsError(static_cast<std::uint32_t>(error.value()));
            return UniqueHandle();
        }
        found.moved.push_back(orvanet::format("{} was {}; moved aside to {}",
                                              current.filename().string(), distrust,
                                              std::filesystem::path(aside).string()));
    }
    return folder;
}

} // namespace

std::error_code openRelative(HANDLE parent, const std::wstring& name, ACCESS_MASK access,
                             ULONG share, ULONG disposition, ULONG options,
                             PSECURITY_DESCRIPTOR descriptor, UniqueHandle& opened) {
    const NTSTATUS status =
        openNt(parent, name, access, share, disposition, options, descriptor, opened);
    return NT_SUCCESS(status) ? std::error_code() : fromStatus(status);
}

bool LogFolders::open(const std::filesystem::path& trustedBase,
                      const std::filesystem::path& directory, FoundFolders& found,
                      std::error_code& error) {
    close();
    error.clear();
    found = {};
    if (!openEach(trustedBase, directory, found, error)) {
        close();
        return false;
    }
    return true;
}

bool LogFolders::openEach(const std::filesystem::path& trustedBase,
                          const std::filesystem::path& directory, FoundFolders& found,
                          std::error_code& error) {
    PSECURITY_DESCRIPTOR rawDescriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kLogFolderSddl, SDDL_REVISION_1,
                                                              &rawDescriptor, nullptr)) {
        error = lastError();
        return false;
    }
    const LocalMemory descriptor(rawDescriptor);
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), descriptor.get(), FALSE};

    const std::filesystem::path base = trustedBase.lexically_normal();
    const std::filesystem::path below = directory.lexically_normal().lexically_relative(base);
    if (below.empty() || *below.begin() == L"..") {
        error = std::error_code(ERROR_BAD_PATHNAME, std::system_category());
        return false;
    }
    if (!makeBase(base, &security, error)) {
        return false;
    }
    // The base's handle is only the way in: it is not held.
    const UniqueHandle baseFolder(
        CreateFileW(base.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!baseFolder) {
        error = lastError();
        return false;
    }
    HANDLE parent = baseFolder.get();
    std::filesystem::path current = base;
    for (const auto& component : below) {
        current /= component;
        UniqueHandle folder = openOwnFolder(parent, current, descriptor.get(), found, error);
        if (!folder) {
            return false;
        }
        held.push_back(std::move(folder));
        parent = held.back().get();
    }
    return true;
}
