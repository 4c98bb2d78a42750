#include "service/Privileges.h"

#include "log/Logger.h"
#include "platform/Owners.h"
#include "platform/Utf8.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace {

// The token's privileges; nothing, with `error` set, when they cannot be read.
std::optional<std::vector<LUID_AND_ATTRIBUTES>> heldPrivileges(HANDLE token, DWORD& error) {
    DWORD size = 0;
    GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::vector<unsigned char> buffer(std::max<DWORD>(size, sizeof(TOKEN_PRIVILEGES)));
    if (!GetTokenInformation(token, TokenPrivileges, buffer.data(),
                             static_cast<DWORD>(buffer.size()), &size)) {
        error = GetLastError();
        return std::nullopt;
    }
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    return std::vector<LUID_AND_ATTRIBUTES>(privileges->Privileges,
                                            privileges->Privileges + privileges->PrivilegeCount);
}

std::wstring privilegeName(LUID luid) {
    wchar_t name[64] = {};
    DWORD length = static_cast<DWORD>(std::size(name));
    if (!LookupPrivilegeNameW(nullptr, &luid, name, &length)) {
        return L"privilege " + std::to_wstring(luid.HighPart) + L":" +
               std::to_wstring(luid.LowPart);
    }
    return std::wstring(name, length);
}

bool isKept(const std::wstring& name) {
    return std::any_of(kKeptPrivileges.begin(), kKeptPrivileges.end(),
                       [&](const wchar_t* kept) { return _wcsicmp(kept, name.c_str()) == 0; });
}

std::string names(const std::vector<LUID_AND_ATTRIBUTES>& privileges) {
    std::string text;
    for (const auto& privilege : privileges) {
        text += (text.empty() ? "" : ", ") +
                *toUtf8(privilegeName(privilege.Luid), InvalidText::Replace);
    }
    return text.empty() ? "none" : text;
}

} // namespace

void dropPrivileges() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES, &raw)) {
        Logger::instance().log(LogLevel::Warn,
                               "Privileges not reduced: OpenProcessToken failed with error: {}",
                               GetLastError());
        return;
    }
    const UniqueHandle token(raw);
    DWORD error = 0;
    const auto held = heldPrivileges(token.get(), error);
    if (!held) {
        Logger::instance().log(LogLevel::Warn,
                               "Privileges not reduced: GetTokenInformation failed with error: {}",
                               error);
        return;
    }
    int removed = 0;
    for (const auto& privilege : *held) {
        const std::wstring name = privilegeName(privilege.Luid);
        if (isKept(name)) {
            continue;
        }
        TOKEN_PRIVILEGES one{1, {{privilege.Luid, SE_PRIVILEGE_REMOVED}}};
        // Success with ERROR_NOT_ALL_ASSIGNED means nothing changed.
        if (!AdjustTokenPrivileges(token.get(), FALSE, &one, 0, nullptr, nullptr) ||
            GetLastError() != ERROR_SUCCESS) {
            Logger::instance().log(LogLevel::Warn, "Privilege {} could not be removed: error {}",
                                   *toUtf8(name, InvalidText::Replace), GetLastError());
            continue;
        }
        ++removed;
    }
    // Read back: the line says what the token holds, not what was meant.
    const auto kept = heldPrivileges(token.get(), error);
    if (!kept) {
        Logger::instance().log(LogLevel::Warn,
                               "Privileges kept: unknown, GetTokenInformation failed with error: "
                               "{} ({} removed)",
                               error, removed);
        return;
    }
    logInfo("Privileges kept: {} ({} removed)", names(*kept), removed);
}
