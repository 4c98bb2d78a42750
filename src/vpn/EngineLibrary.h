#pragma once

#include "dns/OperationResult.h"
#include "platform/Owners.h"

#include <array>
#include <string>

// The engine's library file, loaded when the first start needs it rather than when the
// process loads: a missing file or a release without the calls the service makes is then a
// start's clear answer, not a service that never reaches its first line.

// What the service calls, each bound on its first use to the library loaded here.
inline constexpr std::array<const char*, 3> engineExports = {
    "tun2proxy_set_log_callback", "tun2proxy_with_name_run", "tun2proxy_stop"};

// Said in every refusal, so that whoever reads it knows what to install instead. Later
// releases either lack tun2proxy_with_name_run (0.8.0 on) or end their host process 2 s
// after each run returns (0.7.18 on), which no export shows.
inline constexpr const char* supportedEngineReleases =
    "supported engine releases: tun2proxy 0.7.17 and earlier, beside Orvanet.exe";

struct EngineLibrary {
    UniqueModule module; // held on success only
    std::string found;   // "VERSION from PATH", for the log
    OperationResult result;
};

// Loads `fileName` by the process's library search and checks that it exports every one of
// engineExports; a library that lacks any is released again.
EngineLibrary loadEngineLibrary(const wchar_t* fileName);
