#pragma once

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
    void writeState(const std::string& text) const;
    void appendJournal(const std::string& line) const;

private:
    std::filesystem::path folder;
};
