#pragma once

#include "dns/OperationResult.h"

#include <cstdint>

// The three functions of the tunnel engine's flat C interface that the service uses. The
// engine lives in its own library, tun2proxy.dll, bound on the first call into it (the
// executable delay-loads it), which loadTun2proxy below must precede.
extern "C" {

// Receives each of the engine's log lines, from any of its threads. The message may be null.
using Tun2proxyLogCallback = void (*)(std::int32_t level, const char* message, void* context);

// Blocks while the tunnel runs; 0 is a clean end.
std::int32_t tun2proxy_with_name_run(const char* proxyUrl, const char* tunName, const char* bypass,
                                     std::int32_t dnsStrategy, bool rootPrivilege,
                                     std::int32_t verbosity);

// Asks a running engine to end, so that tun2proxy_with_name_run returns; 0 on success.
std::int32_t tun2proxy_stop();

// What it returns is not used.
void tun2proxy_set_log_callback(Tun2proxyLogCallback callback, void* context);

} // extern "C"

// The service's own, not the engine's: loads tun2proxy.dll and checks that it offers the
// three functions above. A loaded engine stays for the process's life and is not checked
// again; a refused one is looked for anew at the next call, so that a file put right needs
// no restart. Defined beside the engine's link (vpn/EngineLoad.cpp), so that a test puts its
// double's in its place.
OperationResult loadTun2proxy();
