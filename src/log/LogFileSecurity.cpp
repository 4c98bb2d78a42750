#include "log/LogFileSecurity.h"

#include "log/Format.h"

#include <aclapi.h>

#include <cstring>
#include <cwchar>
#include <iterator>

namespace {

// Rights on a folder or file that let their holder change what the log relies on.
constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                     FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE |
                                     WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

bool isWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
    return IsValidSid(sid) && IsWellKnownSid(sid, type);
}

std::error_code lastError() {
    return {static_cast<int>(GetLastError()), std::system_category()};
}

} // namespace

const std::vector<BYTE>& ownAccountSid() {
    static const std::vector<BYTE> sid = [] {
        std::vector<BYTE> result;
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            return result;
        }
        const UniqueHandle owned(token);
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        std::vector<BYTE> buffer(size);
        if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
            return result;
        }
        PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
        result.resize(GetLengthSid(user));
        CopySid(static_cast<DWORD>(result.size()), result.data(), user);
        return result;
    }();
    return sid;
}

bool isTrustedOwner(PSID owner, PSID self) {
    if (owner == nullptr || !IsValidSid(owner)) {
        return false;
    }
    return isWellKnown(owner, WinLocalSystemSid) ||
           isWellKnown(owner, WinBuiltinAdministratorsSid) ||
           (self != nullptr && IsValidSid(self) && EqualSid(owner, self));
}

bool grantsUntrustedWrite(const ACL* dacl, PSID self) {
    if (dacl == nullptr) {
        return true;
    }
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* entry = nullptr;
        if (!GetAce(const_cast<ACL*>(dacl), index, &entry)) {
            return true;
        }
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            // Denials take nothing away from the trusted accounts; any other kind of grant
            // is not understood here, so it is not trusted.
            if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
                continue;
            }
            return true;
        }
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        // Inherit-only grants count too: they reach every file made in the folder.
        if ((allowed->Mask & kWriteRights) != 0 && !isTrustedOwner(sid, self)) {
            return true;
        }
    }
    return false;
}

const char* distrustOfLogFolder(DWORD attributes, PSID owner, const ACL* dacl, PSID self) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return "a link";
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return "not a folder";
    }
    if (!isTrustedOwner(owner, self)) {
        return "a folder of another account";
    }
    if (grantsUntrustedWrite(dacl, self)) {
        return "a folder that others may change";
    }
    return nullptr;
}

const char* distrustOfLogFile(DWORD attributes, DWORD links, PSID owner, PSID self) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return "a link";
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return "a folder";
    }
    if (links != 1) {
        return "a file with more than one name";
    }
    if (!isTrustedOwner(owner, self)) {
        return "a file of another account";
    }
    return nullptr;
}

UniqueHandle openWithoutFollowing(const std::filesystem::path& path, DWORD access,
                                  DWORD disposition, bool shareDelete) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (shareDelete ? FILE_SHARE_DELETE : 0);
    HANDLE handle = CreateFileW(path.c_str(), access, share, nullptr, disposition,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    return UniqueHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

UniqueHandle openCheckedLogFile(const std::filesystem::path& path, std::error_code& error,
                                const char** distrust, DWORD disposition, DWORD access,
                                bool shareDelete) {
    error.clear();
    if (distrust != nullptr) {
        *distrust = nullptr;
    }
    UniqueHandle file = openWithoutFollowing(path, access, disposition, shareDelete);
    if (!file) {
        error = lastError();
        return file;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!GetFileInformationByHandle(file.get(), &information) ||
        GetSecurityInfo(file.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        error = lastError();
        return UniqueHandle();
    }
    const LocalMemory ownedDescriptor(descriptor);
    std::vector<BYTE> self = ownAccountSid();
    const char* reason = distrustOfLogFile(information.dwFileAttributes, information.nNumberOfLinks,
                                           owner, self.empty() ? nullptr : self.data());
    if (reason != nullptr) {
        if (distrust != nullptr) {
            *distrust = reason;
        }
        error = std::error_code(ERROR_ACCESS_DENIED, std::system_category());
        return UniqueHandle();
    }
    return file;
}

std::wstring untrustedName(const std::wstring& name) {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    wchar_t suffix[40] = {};
    swprintf(suffix, std::size(suffix), L".untrusted-%04u%02u%02u-%02u%02u%02u", now.wYear,
             now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
    return name + suffix;
}

bool moveAside(const std::filesystem::path& path, std::filesystem::path& aside) {
    aside = path.parent_path() / untrustedName(path.filename().native());
    // Moved through a handle that follows no link: what moves is what was checked, and a
    // folder moves with whatever it holds. A name already taken is not replaced.
    const UniqueHandle plant = openWithoutFollowing(path, DELETE | FILE_READ_ATTRIBUTES);
    return plant && renameByHandle(plant.get(), aside, false);
}

UniqueHandle openOwnLogFile(const std::filesystem::path& path, DWORD disposition,
                            std::string& moved, std::error_code& error) {
    moved.clear();
    const char* distrust = nullptr;
    UniqueHandle file = openCheckedLogFile(path, error, &distrust, disposition);
    if (file || distrust == nullptr) {
        return file;
    }
    std::filesystem::path aside;
    if (!moveAside(path, aside)) {
        error = lastError();
        return UniqueHandle();
    }
    moved = orvanet::format("{} was {}; moved aside to {}", path.filename().string(), distrust,
                            aside.filename().string());
    return openCheckedLogFile(path, error, nullptr, disposition);
}

bool renameByHandle(HANDLE file, const std::filesystem::path& target, bool replace) {
    const std::wstring& name = target.native();
    const std::size_t nameBytes = name.size() * sizeof(wchar_t);
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = replace ? TRUE : FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(rename->FileName, name.data(), nameBytes);
    return SetFileInformationByHandle(file, FileRenameInfo, rename,
                                      static_cast<DWORD>(buffer.size())) != 0;
}

bool deleteByHandle(HANDLE file) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}
