#include "pipe/ClientIdentity.h"

#include "log/Format.h"
#include "log/LineText.h"
#include "log/Logger.h"
#include "pipe/PipeConstants.h"
#include "platform/Owners.h"
#include "platform/Utf8.h"

#include <sddl.h>

#include <cstdlib>
#include <optional>
#include <string_view>

namespace {

// Names for a log line: written even where a name is not valid text.
std::string utf8(std::wstring_view text) {
    return toUtf8(text, InvalidText::Replace).value_or(std::string());
}

std::string unknown(DWORD error) {
    return orvanet::format("unknown ({})", formatWindowsError(error));
}

std::optional<std::string> imagePath(HANDLE process, DWORD& error) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = static_cast<DWORD>(path.size());
        if (QueryFullProcessImageNameW(process, 0, path.data(), &length)) {
            path.resize(length);
            return utf8(path);
        }
        error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER || path.size() >= 32768) {
            return std::nullopt;
        }
        path.resize(path.size() * 2);
    }
}

// The user of the client's token, read while impersonating it through the thread's effective
// token (no handle of its own to open and close); the thread is itself again before this
// returns, whatever happened. False with the error when the client could not be
// impersonated or its token not read.
bool clientUser(HANDLE instance, void* buffer, DWORD size, DWORD& error) {
    if (!ImpersonateNamedPipeClient(instance)) {
        error = GetLastError();
        return false;
    }
    DWORD needed = 0;
    const BOOL read =
        GetTokenInformation(GetCurrentThreadEffectiveToken(), TokenUser, buffer, size, &needed);
    error = read ? 0 : GetLastError();
    if (!RevertToSelf()) {
        // Serving on in the client's context is never acceptable; the platform's advice is to
        // end the process.
        logError("PipeServer - RevertToSelf failed: {}; ending the process",
                 formatWindowsError(GetLastError()));
        std::abort();
    }
    return read != FALSE;
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
    // Room for any SID: one call instead of asking for the size first.
    alignas(TOKEN_USER) unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD error = 0;
    if (!clientUser(instance, buffer, sizeof buffer, error)) {
        return unknown(error);
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

AccountNames::AccountNames(Lookup lookup, std::size_t limit) : lookup(lookup), limit(limit) {}

std::optional<std::string> AccountNames::nameOf(PSID sid) {
    if (!IsValidSid(sid)) {
        return std::nullopt;
    }
    std::string key(static_cast<const char*>(sid), GetLengthSid(sid));
    {
        std::lock_guard lock(mutex);
        if (const auto known = names.find(key); known != names.end()) {
            return known->second;
        }
    }
    // Looked up without the lock: two threads asking at once both look up, and agree.
    std::optional<std::string> name = lookup(sid);
    if (name) {
        std::lock_guard lock(mutex);
        // Local accounts that ever connect are few; many more means something is churning
        // through SIDs, and starting afresh keeps the memory bounded.
        if (names.size() >= limit) {
            names.clear();
        }
        names.emplace(std::move(key), *name);
    }
    return name;
}

ClientPrograms::ClientPrograms(std::size_t limit) : limit(limit) {}

std::string ClientPrograms::pathOf(DWORD processId) {
    std::lock_guard lock(mutex);
    if (const auto found = known.find(processId); found != known.end()) {
        return found->second.path;
    }
    // SYNCHRONIZE, to tell later whether the process has ended.
    UniqueHandle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, processId));
    if (!process) {
        return unknown(GetLastError());
    }
    DWORD error = 0;
    std::optional<std::string> path = imagePath(process.get(), error);
    if (!path) {
        return unknown(error);
    }
    makeRoom();
    known.emplace(processId, Known{std::move(process), *path});
    return *std::move(path);
}

std::size_t ClientPrograms::kept() {
    std::lock_guard lock(mutex);
    return known.size();
}

void ClientPrograms::makeRoom() {
    if (known.size() < limit) {
        return;
    }
    for (auto entry = known.begin(); entry != known.end();) {
        if (WaitForSingleObject(entry->second.process.get(), 0) != WAIT_TIMEOUT) {
            entry = known.erase(entry);
        } else {
            ++entry;
        }
    }
    if (known.size() >= limit) {
        known.clear();
    }
}

std::string describeClient(HANDLE instance) {
    ULONG processId = 0;
    if (!GetNamedPipeClientProcessId(instance, &processId)) {
        return orvanet::format("PipeServer - Client could not be identified: {}",
                               formatWindowsError(GetLastError()));
    }
    static ClientPrograms programs;
    return clientLine(processId, programs.pathOf(processId), accountOf(instance));
}

std::string clientLine(DWORD processId, std::string_view program, std::string_view account) {
    // The program's path is the client's choice, up to 32,767 characters, and so in effect is
    // the account's name: the line stays within the log's bound for lines of client text.
    return orvanet::format("PipeServer - Client: process {}, program {}, account {}", processId,
                           logTail(program, pipeconst::clientProgramBytes),
                           logExcerpt(account, pipeconst::clientAccountBytes));
}
