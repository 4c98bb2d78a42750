#include "LocalNames.h"

#include "platform/Owners.h"
#include "platform/Utf8.h"

#include <windows.h>
#include <sddl.h>

#include <vector>

namespace {

constexpr const wchar_t* kProfileList =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

// A text value of HKLM, REG_EXPAND_SZ expanded; empty if there is none.
std::wstring machineText(const std::wstring& key, const wchar_t* name) {
    DWORD size = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_SZ, nullptr, nullptr,
                     &size) != ERROR_SUCCESS ||
        size < sizeof(wchar_t)) {
        return {};
    }
    std::wstring value(size / sizeof(wchar_t), L'\0');
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value.data(),
                     &size) != ERROR_SUCCESS) {
        return {};
    }
    value.resize(wcsnlen(value.c_str(), value.size()));
    return value;
}

std::string utf8(const std::wstring& text) {
    return toUtf8(text, InvalidText::Replace).value_or("");
}

} // namespace

LocalNames localNames() {
    LocalNames names;
    names.profilesFolder = utf8(machineText(kProfileList, L"ProfilesDirectory"));
    if (names.profilesFolder.empty()) {
        wchar_t drive[MAX_PATH] = {};
        const DWORD length = GetEnvironmentVariableW(L"SystemDrive", drive, MAX_PATH);
        names.profilesFolder =
            (length > 0 && length < MAX_PATH ? utf8(drive) : std::string("C:")) + "\\Users";
    }

    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        return names;
    }
    const UniqueHandle token(raw);
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (size == 0 || !GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
        return names;
    }
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    wchar_t name[256] = {};
    wchar_t domain[256] = {};
    DWORD nameLength = 256;
    DWORD domainLength = 256;
    SID_NAME_USE use{};
    if (LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) {
        names.account = utf8(std::wstring(domain) + L"\\" + name);
    }
    wchar_t* text = nullptr;
    if (ConvertSidToStringSidW(sid, &text)) {
        const LocalMemory owned(text);
        names.profile =
            utf8(machineText(std::wstring(kProfileList) + L"\\" + text, L"ProfileImagePath"));
    }
    // A profile the list does not hold (a platform that keeps none): the one this process
    // was given.
    if (names.profile.empty()) {
        wchar_t profile[MAX_PATH] = {};
        const DWORD length = GetEnvironmentVariableW(L"USERPROFILE", profile, MAX_PATH);
        names.profile = length > 0 && length < MAX_PATH ? utf8(profile) : std::string();
    }
    return names;
}
