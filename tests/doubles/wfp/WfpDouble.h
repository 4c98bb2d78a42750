#pragma once

#include "WfpRecord.h"

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

// Link-time replacement of the WFP management calls. Every call is recorded in order with
// deep copies of what it was given; handles and filter ids are handed out from counters.
// The double also models what the platform would hold, so a test can see leftovers.
namespace wfpdouble {

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

} // namespace wfpdouble
