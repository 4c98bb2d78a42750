#pragma once

#include <windows.h>
#include <fwpmu.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

// Link-time replacement of the WFP management calls. Every call is recorded in order with
// deep copies of what it was given; handles and filter ids are handed out from counters.
// The double also models what the platform would hold, so a test can see leftovers.
namespace wfpdouble {

struct Session {
    GUID sessionKey{};
    std::optional<std::wstring> name;
    std::optional<std::wstring> description;
    UINT32 flags = 0;
    UINT32 txnWaitTimeoutInMSec = 0;
    DWORD processId = 0;
    bool sidNull = true;
    bool usernameNull = true;
    BOOL kernelMode = FALSE;
    bool operator==(const Session&) const = default;
};

struct Sublayer {
    GUID subLayerKey{};
    std::optional<std::wstring> name;
    std::optional<std::wstring> description;
    UINT32 flags = 0;
    bool providerKeyNull = true;
    UINT32 providerDataSize = 0;
    bool providerDataNull = true;
    UINT16 weight = 0;
    bool operator==(const Sublayer&) const = default;
};

struct Condition {
    GUID fieldKey{};
    FWP_MATCH_TYPE matchType{};
    FWP_DATA_TYPE type{};
    std::uint64_t value = 0;
    bool operator==(const Condition&) const = default;
};

struct Filter {
    GUID filterKey{};
    std::optional<std::wstring> name;
    std::optional<std::wstring> description;
    UINT32 flags = 0;
    bool providerKeyNull = true;
    UINT32 providerDataSize = 0;
    bool providerDataNull = true;
    GUID layerKey{};
    GUID subLayerKey{};
    FWP_DATA_TYPE weightType{};
    std::uint64_t weightValue = 0;
    UINT32 numFilterConditions = 0;
    std::vector<Condition> conditions;
    FWP_ACTION_TYPE actionType{};
    GUID actionFilterType{};
    UINT64 rawContext = 0;
    bool operator==(const Filter&) const = default;
};

struct Call {
    std::string name;
    HANDLE engine = nullptr;
    DWORD status = 0;
    // FwpmEngineOpen0
    bool serverNameNull = true;
    UINT32 authnService = 0;
    bool authIdentityNull = true;
    std::optional<Session> session;
    // FwpmTransactionBegin0
    UINT32 flags = 0;
    // FwpmSubLayerAdd0 / FwpmFilterAdd0
    bool sdNull = true;
    std::optional<Sublayer> sublayer;
    std::optional<Filter> filter;
    // FwpmFilterAdd0 (the id handed out) / FwpmFilterDeleteById0 (the id given)
    UINT64 filterId = 0;
    // FwpmSubLayerDeleteByKey0
    std::optional<GUID> key;
};

// Forget every call, failure plan and platform object.
void reset();

// The occurrence-th call (1-based) of that name answers status without any effect.
void failOn(const std::string& callName, int occurrence, DWORD status);
// The next FwpmEngineOpen0 succeeds but writes a null handle.
void nullHandleOnOpen();
// A sublayer that exists in the platform before the test, outside any of its sessions.
void seedSublayer(const GUID& key);

const std::vector<Call>& calls();
std::vector<std::string> callNames();
std::vector<const Filter*> addedFilters();

// What the platform would hold now.
std::set<UINT64> liveFilters();
std::set<std::string> liveSublayers();
std::size_t openEngines();
bool nothingLeft();

std::string guidText(const GUID& guid);

} // namespace wfpdouble
