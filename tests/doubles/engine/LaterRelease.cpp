// tun2proxy.dll as releases from 0.8.0 on export it: the run takes the command line's
// arguments, and tun2proxy_with_name_run is gone. Never run; only loaded and refused.
#include <cstdint>

extern "C" {

__declspec(dllexport) std::int32_t
    tun2proxy_run_with_cli_args(const char*, std::uint16_t, std::uint32_t) {
    return -4;
}

__declspec(dllexport) std::int32_t tun2proxy_stop() {
    return -1;
}

__declspec(dllexport) void tun2proxy_set_log_callback(void (*)(std::int32_t, const char*, void*),
                                                      void*) {}

} // extern "C"
