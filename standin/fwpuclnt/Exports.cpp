// The nine WFP management calls of fwpuclnt.dll, answered by a checked model instead of
// the platform. Exported under the platform's own names (see fwpuclnt.def).
#include "CheckedPlatform.h"
#include "FilterListing.h"
#include "NftRules.h"
#include "StateFiles.h"

#include "platform/InterfaceIndex.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace {

std::optional<UINT32> tunnelIndex(const std::string& alias, std::string& error) {
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, alias.data(), static_cast<int>(alias.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, alias.data(), static_cast<int>(alias.size()), wide.data(),
                        length);
    const AliasIndex found = indexOfAlias(wide.c_str());
    if (found.failedCall != nullptr) {
        error = "'" + alias + "': " + found.failedCall + " failed (" +
                std::to_string(found.status) + ")";
        return std::nullopt;
    }
    return found.index;
}

struct Standin {
    std::mutex mutex;
    StateFiles files;
    CheckedPlatform platform{
        [this](std::string& error) { return tunnelIndex(files.tunnelAlias(), error); }};
    std::size_t journalled = 0;
    std::uint64_t rulesGeneration = files.lastRulesGeneration();
    std::string rules;

    // Every call leaves the files describing the model as it now is.
    void publish() {
        const auto& lines = platform.journal();
        for (; journalled < lines.size(); ++journalled) {
            files.appendJournal(lines[journalled]);
        }
        std::string text;
        text += "pid " + std::to_string(GetCurrentProcessId()) + "\n";
        text += "engines " + std::to_string(platform.openEngines()) + "\n";
        text += "transactions " + std::to_string(platform.openTransactions()) + "\n";
        text += "sublayers " + std::to_string(platform.liveSublayers()) + "\n";
        const auto filters = platform.liveFilters();
        text += "filters " + std::to_string(filters.size()) + "\n";
        text += "rejected " + std::to_string(platform.rejections()) + "\n";
        text += "last-rejection " + platform.lastRejection() + "\n";
        for (const auto& [id, name] : filters) {
            text += "filter " + std::to_string(id) + " " + wfpdouble::asciiText(name) + "\n";
        }
        files.writeState(text);
        files.writeFilters(filterListing(platform.committedById()));
        publishRules();
        files.holdEngineLock(platform.openEngines() > 0);
    }

    // Only what is committed is enforced; a new generation only when that changes.
    void publishRules() {
        std::string error;
        const auto script = wfpdouble::nftScript(platform.committedFilters(), error);
        const std::string now = script ? *script : "refused: " + error + "\n";
        if (now != rules || rulesGeneration == 0) {
            rules = now;
            files.writeRules(++rulesGeneration, rules);
        }
    }
};

Standin& standin() {
    static Standin instance;
    return instance;
}

template <typename Call>
DWORD guarded(Call call) {
    Standin& s = standin();
    std::lock_guard lock(s.mutex);
    const DWORD status = call(s.platform);
    s.publish();
    return status;
}

// A collector's process: it reads what the service's stand-in published and changes
// nothing, so that its engine is no session of the model and writes no state.
struct Reader {
    std::mutex mutex;
    std::filesystem::path folder = StateFiles::readerFolder();
    std::map<HANDLE, GUID> listings; // enumeration handle: its layer, until listed
    std::map<void*, std::unique_ptr<FilterBlock>> handedOut;
    std::uintptr_t nextHandle = 0x5E00;
};

Reader& reader() {
    static Reader instance;
    return instance;
}

const HANDLE kReaderEngine = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x5EAD));

} // namespace

extern "C" {

DWORD WINAPI FwpmEngineOpen0(const wchar_t* serverName, UINT32 authnService,
                             SEC_WINNT_AUTH_IDENTITY_W* authIdentity, const FWPM_SESSION0* session,
                             HANDLE* engineHandle) {
    if (!reader().folder.empty()) {
        *engineHandle = kReaderEngine;
        return ERROR_SUCCESS;
    }
    return guarded([&](CheckedPlatform& p) {
        return p.engineOpen(serverName == nullptr, authnService, authIdentity == nullptr, session,
                            engineHandle);
    });
}

DWORD WINAPI FwpmEngineClose0(HANDLE engineHandle) {
    if (engineHandle == kReaderEngine) {
        return ERROR_SUCCESS;
    }
    return guarded([&](CheckedPlatform& p) { return p.engineClose(engineHandle); });
}

DWORD WINAPI FwpmTransactionBegin0(HANDLE engineHandle, UINT32 flags) {
    return guarded([&](CheckedPlatform& p) { return p.transactionBegin(engineHandle, flags); });
}

DWORD WINAPI FwpmTransactionCommit0(HANDLE engineHandle) {
    return guarded([&](CheckedPlatform& p) { return p.transactionCommit(engineHandle); });
}

DWORD WINAPI FwpmTransactionAbort0(HANDLE engineHandle) {
    return guarded([&](CheckedPlatform& p) { return p.transactionAbort(engineHandle); });
}

DWORD WINAPI FwpmSubLayerAdd0(HANDLE engineHandle, const FWPM_SUBLAYER0* subLayer,
                              PSECURITY_DESCRIPTOR sd) {
    return guarded(
        [&](CheckedPlatform& p) { return p.subLayerAdd(engineHandle, subLayer, sd == nullptr); });
}

DWORD WINAPI FwpmSubLayerDeleteByKey0(HANDLE engineHandle, const GUID* key) {
    return guarded([&](CheckedPlatform& p) { return p.subLayerDeleteByKey(engineHandle, key); });
}

DWORD WINAPI FwpmFilterAdd0(HANDLE engineHandle, const FWPM_FILTER0* filter,
                            PSECURITY_DESCRIPTOR sd, UINT64* id) {
    return guarded(
        [&](CheckedPlatform& p) { return p.filterAdd(engineHandle, filter, sd == nullptr, id); });
}

DWORD WINAPI FwpmFilterDeleteById0(HANDLE engineHandle, UINT64 id) {
    return guarded([&](CheckedPlatform& p) { return p.filterDeleteById(engineHandle, id); });
}

// The enumeration a collector makes, answered from the published filters, one layer per
// handle, all of them in the first call.
DWORD WINAPI FwpmFilterCreateEnumHandle0(HANDLE engineHandle,
                                         const FWPM_FILTER_ENUM_TEMPLATE0* enumTemplate,
                                         HANDLE* enumHandle) {
    Reader& r = reader();
    std::lock_guard lock(r.mutex);
    if (engineHandle != kReaderEngine || enumTemplate == nullptr || enumHandle == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *enumHandle = reinterpret_cast<HANDLE>(++r.nextHandle);
    r.listings[*enumHandle] = enumTemplate->layerKey;
    return ERROR_SUCCESS;
}

DWORD WINAPI FwpmFilterEnum0(HANDLE engineHandle, HANDLE enumHandle, UINT32 numEntriesRequested,
                             FWPM_FILTER0*** entries, UINT32* numEntriesReturned) {
    Reader& r = reader();
    std::lock_guard lock(r.mutex);
    const auto listing = r.listings.find(enumHandle);
    if (engineHandle != kReaderEngine || listing == r.listings.end() || entries == nullptr ||
        numEntriesReturned == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *entries = nullptr;
    *numEntriesReturned = 0;
    std::unique_ptr<FilterBlock> block =
        filtersAt(StateFiles::readFilters(r.folder), listing->second);
    r.listings.erase(listing);
    r.listings[enumHandle] = GUID{}; // listed: the next call finds nothing more
    if (block->entries.empty() || block->entries.size() > numEntriesRequested) {
        return ERROR_SUCCESS;
    }
    *numEntriesReturned = static_cast<UINT32>(block->entries.size());
    *entries = block->entries.data();
    r.handedOut[*entries] = std::move(block);
    return ERROR_SUCCESS;
}

DWORD WINAPI FwpmFilterDestroyEnumHandle0(HANDLE engineHandle, HANDLE enumHandle) {
    Reader& r = reader();
    std::lock_guard lock(r.mutex);
    return engineHandle == kReaderEngine && r.listings.erase(enumHandle) == 1
               ? ERROR_SUCCESS
               : ERROR_INVALID_PARAMETER;
}

void WINAPI FwpmFreeMemory0(void** p) {
    Reader& r = reader();
    std::lock_guard lock(r.mutex);
    if (p != nullptr) {
        r.handedOut.erase(*p);
        *p = nullptr;
    }
}

} // extern "C"
