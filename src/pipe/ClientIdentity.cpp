#include "pipe/ClientIdentity.h"

#include "log/Format.h"
#include "log/Logger.h"
#include "pipe/AccountNames.h"
#include "platform/Owners.h"

#include <sddl.h>

#include <cstdlib>
#include <optional>
#include <string_view>

namespace {

std::string utf8(std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    const int wide = static_cast<int>(text.size());
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, out.data(), length, nullptr, nullptr);
    }
    return out;
}

std::string unknown(DWORD error) {
    return orvanet::format("unknown ({})", formatWindowsError(error));
}

std::string programPath(DWORD processId) {
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) {
        return unknown(GetLastError());
    }
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = static_cast<DWORD>(path.size());
        if (QueryFullProcessImageNameW(process.get(), 0, path.data(), &length)) {
            path.resize(length);
            return utf8(path);
        }
        const DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER || path.size() >= 32768) {
            return unknown(error);
        }
        path.resize(path.size() * 2);
    }
}

// The client's token, taken while impersonating it; the thread is itself again before this
// returns, whatever happened.
UniqueHandle clientToken(HANDLE instance, DWORD& error) {
    if (!ImpersonateNamedPipeClient(instance)) {
        error = GetLastError();
        return UniqueHandle();
    }
    HANDLE token = nullptr;
    const BOOL opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
    error = opened ? 0 : GetLastError();
    if (!RevertToSelf()) {
        // Serving on in the client's context is never acceptable; the platform's advice is to
        // end the process.
        logError("PipeServer - RevertToSelf failed: {}; ending the process",
                 formatWindowsError(GetLastError()));
        std::abort();
    }
    return UniqueHandle(opened ? token : nullptr);
}

std::optional<std::string> lookUpAccount(PSID sid) {
    wchar_t name[256] = {};
    wchar_t domain[256] = {};
    DWORD nameLength = 256;
    DWORD domainLength = 256;
    SID_NAME_USE use{};
    if (!LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) {
        return std::nullopt;
    }
    return domainLength > 0 ? utf8(domain) + "\\" + utf8(name) : utf8(name);
}

std::string accountOf(HANDLE instance) {
    static AccountNames accounts(lookUpAccount);
    DWORD error = 0;
    const UniqueHandle token = clientToken(instance, error);
    if (!token) {
        return unknown(error);
    }
    // Room for any SID: one call instead of asking for the size first.
    alignas(TOKEN_USER) unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size)) {
        return unknown(GetLastError());
    }
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
    if (std::optional<std::string> name = accounts.nameOf(sid)) {
        return *std::move(name);
    }
    const DWORD lookupError = GetLastError();
    LPWSTR text = nullptr;
    if (ConvertSidToStringSidW(sid, &text)) {
        const LocalMemory owned(text);
        return utf8(text);
    }
    return unknown(lookupError);
}

} // namespace

std::string describeClient(HANDLE instance) {
    ULONG processId = 0;
    if (!GetNamedPipeClientProcessId(instance, &processId)) {
        return orvanet::format("PipeServer - Client could not be identified: {}",
                               formatWindowsError(GetLastError()));
    }
    return orvanet::format("PipeServer - Client: process {}, program {}, account {}", processId,
                           programPath(processId), accountOf(instance));
}
