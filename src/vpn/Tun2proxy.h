#pragma once

#include <cstdint>

// The three functions of the tunnel engine's flat C interface that the service uses. The
// engine lives in its own library, tun2proxy.dll, linked at load time.
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
