#pragma once

#include "WfpRecord.h"

#include <windows.h>
#include <fwpmu.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

// What the filtering platform would hold, for a stand-in that accepts only the session,
// sublayer and filters of the DNS isolation. Anything else is answered with an error
// status and counted, with the reason, as a rejection.
class CheckedPlatform {
public:
    // Finds the index of the tunnel interface that the allow filters must name.
    using IndexLookup = std::function<std::optional<UINT32>(std::string& error)>;

    explicit CheckedPlatform(IndexLookup lookup);

    DWORD engineOpen(bool serverNameNull, UINT32 authnService, bool authIdentityNull,
                     const FWPM_SESSION0* session, HANDLE* engineHandle);
    DWORD engineClose(HANDLE engine);
    DWORD transactionBegin(HANDLE engine, UINT32 flags);
    DWORD transactionCommit(HANDLE engine);
    DWORD transactionAbort(HANDLE engine);
    DWORD subLayerAdd(HANDLE engine, const FWPM_SUBLAYER0* subLayer, bool sdNull);
    DWORD subLayerDeleteByKey(HANDLE engine, const GUID* key);
    DWORD filterAdd(HANDLE engine, const FWPM_FILTER0* filter, bool sdNull, UINT64* id);
    DWORD filterDeleteById(HANDLE engine, UINT64 id);

    struct LiveFilter {
        UINT64 id = 0;
        std::wstring name;
    };

    std::size_t openEngines() const { return engines.size(); }
    std::size_t openTransactions() const;
    // Committed objects, and those of open transactions.
    std::vector<LiveFilter> liveFilters() const;
    std::size_t liveSublayers() const;
    int rejections() const { return rejected; }
    const std::string& lastRejection() const { return lastReason; }
    // One line per call: name, status and, for a rejection, why.
    const std::vector<std::string>& journal() const { return lines; }

private:
    struct Objects {
        std::map<UINT64, std::wstring> filters;
        bool sublayer = false;
    };
    struct Engine {
        bool inTransaction = false;
        int filtersInTransaction = 0;
        Objects pending;
        Objects committed;
    };

    Engine* engineOf(HANDLE handle);
    bool sublayerExists() const;
    bool sublayerVisibleTo(const Engine& engine) const;
    DWORD reject(const char* call, DWORD status, const std::string& reason);
    DWORD accept(const char* call, DWORD status = 0);

    IndexLookup lookup;
    std::map<HANDLE, Engine> engines;
    std::uintptr_t nextHandle = 0x7100;
    UINT64 nextFilterId = 91001;
    int rejected = 0;
    std::string lastReason;
    std::vector<std::string> lines;
};
