// version.dll, iphlpapi.dll and fwpuclnt.dll are loaded by orvanetctl's first call into them
// (collect's file versions, network picture and filters), not when the program starts: a load at
// start happens before main can pin the library search, and neither is one of the libraries the
// platform always takes from System32, so a copy planted beside orvanetctl.exe (a Downloads folder)
// would be run. Loaded on first use, they come from System32 only.
//
// Should one still be missing, each of its functions fails as it fails for a file without
// version information (0, with the error in GetLastError), or, for IP Helper and the WFP
// client, with the status ERROR_MOD_NOT_FOUND, instead of raising an exception.
// Linked into the executable itself: the runtime takes its own, empty hook otherwise.

#include <windows.h>
#include <delayimp.h>

namespace {

INT_PTR WINAPI versionUnavailable() {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
}

// Every IP Helper and WFP call collect makes returns its status.
INT_PTR WINAPI statusUnavailable() {
    return ERROR_MOD_NOT_FOUND;
}

FARPROC WINAPI onVersionLoadFailure(unsigned notification, PDelayLoadInfo info) {
    switch (notification) {
    case dliFailLoadLib:
        // Kept by the helper as the library's module: it exports none of the functions, so
        // each call comes back below, and the load is tried once.
        return reinterpret_cast<FARPROC>(GetModuleHandleW(nullptr));
    case dliFailGetProc:
        if (_stricmp(info->szDll, "version.dll") != 0) {
            return reinterpret_cast<FARPROC>(statusUnavailable);
        }
        return reinterpret_cast<FARPROC>(versionUnavailable);
    default:
        return nullptr;
    }
}

} // namespace

extern "C" {
#ifdef _MSC_VER
const
#endif
    PfnDliHook __pfnDliFailureHook2 = onVersionLoadFailure;
}
