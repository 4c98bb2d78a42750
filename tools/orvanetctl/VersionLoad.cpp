// version.dll is loaded by orvanetctl's first call into it (collect's file versions), not when
// the program starts: a load at start happens before main can pin the library search, and
// version.dll is none of the libraries the platform always takes from System32, so a copy
// planted beside orvanetctl.exe (a Downloads folder) would be run. Loaded on first use, it
// comes from System32 only.
//
// Should it still be missing, each of its functions fails as it fails for a file without
// version information (0, with the error in GetLastError) instead of raising an exception.
// Linked into the executable itself: the runtime takes its own, empty hook otherwise.

#include <windows.h>
#include <delayimp.h>

namespace {

INT_PTR WINAPI versionUnavailable() {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
}

FARPROC WINAPI onVersionLoadFailure(unsigned notification, PDelayLoadInfo) {
    switch (notification) {
    case dliFailLoadLib:
        // Kept by the helper as the library's module: it exports none of the functions, so
        // each call comes back below, and the load is tried once.
        return reinterpret_cast<FARPROC>(GetModuleHandleW(nullptr));
    case dliFailGetProc:
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
