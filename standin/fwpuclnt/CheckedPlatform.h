#pragma once

#include "PlatformModel.h"

#include <windows.h>
#include <fwpmu.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

// The filtering platform for a stand-in that accepts only the session, sublayer and filters
// of the DNS isolation. What exists, and the platform's own answers, come from the shared
// model; this class adds the checks against the expected set. Any answer but success (or a
// sublayer that already exists) is counted, with the reason, as a rejection.
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

    std::size_t openEngines() const { return model.openEngines(); }
    std::size_t openTransactions() const { return model.openTransactions(); }
    // Committed objects, and those of open transactions.
    std::map<UINT64, std::wstring> liveFilters() const { return model.liveFilters(); }
    std::vector<wfpdouble::Filter> committedFilters() const { return model.committedFilters(); }
    std::map<UINT64, wfpdouble::Filter> committedById() const { return model.committedById(); }
    std::size_t liveSublayers() const { return model.liveSublayers().size(); }
    int rejections() const { return rejected; }
    const std::string& lastRejection() const { return lastReason; }
    // One line per call: name, status and, for a rejection, why.
    const std::vector<std::string>& journal() const { return lines; }

private:
    DWORD reject(const char* call, DWORD status, const std::string& reason);
    DWORD accept(const char* call, DWORD status = 0);
    // The model's answer, journalled as accepted or rejected.
    DWORD answer(const char* call, const wfpdouble::Answer& answer);

    IndexLookup lookup;
    wfpdouble::PlatformModel model{0x7100, 91001};
    int rejected = 0;
    std::string lastReason;
    std::vector<std::string> lines;
};
