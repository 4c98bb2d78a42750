#pragma once

#include "WfpRecord.h"
#include "WfpText.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// What the filtering platform holds: engine sessions, their transactions, and the sublayers
// and filters added in them, pending until commit and gone with a dynamic session. It
// answers with the platform's published statuses. The link-time double and the stand-in
// fwpuclnt.dll both keep their state here; neither decides what the platform would answer.
namespace wfpdouble {

namespace status {
inline constexpr DWORD invalidHandle = ERROR_INVALID_HANDLE;
inline constexpr DWORD filterNotFound = 0x80320003;        // FWP_E_FILTER_NOT_FOUND
inline constexpr DWORD sublayerNotFound = 0x80320007;      // FWP_E_SUBLAYER_NOT_FOUND
inline constexpr DWORD alreadyExists = 0x80320009;         // FWP_E_ALREADY_EXISTS
inline constexpr DWORD inUse = 0x8032000A;                 // FWP_E_IN_USE
inline constexpr DWORD noTransaction = 0x8032000D;         // FWP_E_NO_TXN_IN_PROGRESS
inline constexpr DWORD transactionInProgress = 0x8032000E; // FWP_E_TXN_IN_PROGRESS
} // namespace status

// A status and, when it is not success, what the platform found wrong.
struct Answer {
    DWORD status = 0;
    std::string why;
};

class PlatformModel {
public:
    PlatformModel(std::uintptr_t firstHandle, UINT64 firstFilterId);

    HANDLE openEngine();
    Answer closeEngine(HANDLE engine);
    Answer beginTransaction(HANDLE engine);
    Answer commitTransaction(HANDLE engine) { return endTransaction(engine, true); }
    Answer abortTransaction(HANDLE engine) { return endTransaction(engine, false); }
    Answer addSublayer(HANDLE engine, const GUID& key);
    Answer deleteSublayer(HANDLE engine, const GUID& key);
    Answer addFilter(HANDLE engine, const Filter& filter, UINT64& id);
    Answer deleteFilter(HANDLE engine, UINT64 id);

    // A sublayer that exists before any session of ours, as if left by someone else.
    void seedSublayer(const GUID& key);

    bool hasEngine(HANDLE engine) const { return engineOf(engine) != nullptr; }
    bool inTransaction(HANDLE engine) const;
    // Filters added since the engine's transaction began.
    int addedInTransaction(HANDLE engine) const;
    // Committed by anyone, or pending in this engine's own transaction.
    bool sublayerVisibleTo(HANDLE engine, const std::string& key) const;
    // Whether any live filter sits in the sublayer.
    bool sublayerHoldsFilters(const std::string& key) const;

    std::size_t openEngines() const { return engines.size(); }
    std::size_t openTransactions() const;
    // Committed objects, and those of open transactions.
    std::map<UINT64, std::wstring> liveFilters() const;
    // Only what is committed, as added, by id: what the platform enforces.
    std::vector<Filter> committedFilters() const;
    std::map<UINT64, Filter> committedById() const;
    std::set<std::string> liveSublayers() const;
    const std::set<std::string>& seededSublayers() const { return seeded; }

private:
    struct FilterEntry {
        Filter filter;
        std::string sublayer;
    };
    struct Objects {
        std::map<UINT64, FilterEntry> filters;
        std::set<std::string> sublayers;
    };
    struct Engine {
        bool inTransaction = false;
        int addedInTransaction = 0;
        Objects pending;
        Objects committed;
    };

    Answer endTransaction(HANDLE engine, bool commit);
    Engine* engineOf(HANDLE handle);
    const Engine* engineOf(HANDLE handle) const;
    bool sublayerExists(const std::string& key) const;
    // Where an add lands: the open transaction, or at once.
    static Objects& target(Engine& engine);

    std::map<HANDLE, Engine> engines;
    std::set<std::string> seeded;
    std::uintptr_t nextHandle;
    UINT64 nextFilterId;
};

} // namespace wfpdouble
