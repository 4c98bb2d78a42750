#pragma once

#include "platform/Owners.h"

#include <cstdint>
#include <filesystem>
#include <string>

// The files through which the stand-in tells a test what it holds: they sit beside the
// DLL itself, because a service started by the Service Control Manager gets neither the
// test's environment nor its working directory.
class StateFiles {
public:
    StateFiles();

    // The interface whose index the allow filters must name: "orvantun", unless a file
    // "fwpuclnt-alias.txt" beside the DLL names another (for tests without a TUN device).
    std::string tunnelAlias() const;
    // Replaces "fwpuclnt-state.txt" as a whole, so that a reader never sees half of it.
    void writeState(const std::string& text) const { writeWhole(L"fwpuclnt-state.txt", text); }
    void appendJournal(const std::string& line) const;
    // "fwpuclnt-filters.txt": the committed filters, for another process's enumeration.
    void writeFilters(const std::string& text) const { writeWhole(L"fwpuclnt-filters.txt", text); }

    // What the kernel of a test network is to enforce, for the agent that does it:
    // "fwpuclnt-nft.txt", replaced as a whole, is "generation N" and then an `nft -f` script
    // of the committed filters, or "refused: WHY" for filters it cannot express. N goes on
    // from the file's last, across processes, so that an agent's echo of it says which
    // state it enforces.
    std::uint64_t lastRulesGeneration() const;
    void writeRules(std::uint64_t generation, const std::string& rules) const;

    // "fwpuclnt-engine.lock", locked while any engine session is open: the lock ends with
    // the process, a crash included, which the agent sees from Linux (a process id of
    // Wine's would mean nothing there).
    void holdEngineLock(bool held);

    // A process that only reads what the service's stand-in published: one run with
    // ORVANET_STANDIN_STATE naming that folder (a problem report's collector). Empty if not.
    static std::filesystem::path readerFolder();
    static std::string readFilters(const std::filesystem::path& folder);

private:
    void writeWhole(const wchar_t* name, const std::string& text) const;

    std::filesystem::path folder;
    UniqueHandle engineLock;
};
