// What a call into a library loaded on first use (cmake/DelayLoad.cmake: the WFP client and
// IP Helper, which an idle service never calls; the engine, which the start loads and checks
// before its first call, so that it never comes here) does when that library or the function
// is missing. The runtime's helper would raise an exception on the calling thread, and nothing
// there expects one: every such call returns a status, and its caller reports a status. So
// the call returns ERROR_MOD_NOT_FOUND (the library could not be loaded) or
// ERROR_PROC_NOT_FOUND (it lacks the function) instead, and the reason is logged once.
//
// Linked into the executable itself, never from a library: the runtime's helper takes its
// own, empty hook from a library searched after ours unless this definition is already in.

#include "log/Logger.h"

#include <windows.h>
#include <delayimp.h>

#include <cstdint>

namespace {

INT_PTR WINAPI libraryMissing() {
    return ERROR_MOD_NOT_FOUND;
}

INT_PTR WINAPI functionMissing() {
    return ERROR_PROC_NOT_FOUND;
}

// Stands in for a library that could not be loaded: the helper keeps it as the library's
// module, finds no function in it and comes back here for each, so the load is tried once.
HMODULE missingLibraryMark() {
    return GetModuleHandleW(nullptr);
}

FARPROC WINAPI onDelayLoadFailure(unsigned notification, PDelayLoadInfo info) {
    switch (notification) {
    case dliFailLoadLib:
        logError("Failed to load {} on first use: error {}", info->szDll, info->dwLastError);
        return reinterpret_cast<FARPROC>(reinterpret_cast<std::uintptr_t>(missingLibraryMark()));
    case dliFailGetProc:
        if (info->hmodCur == missingLibraryMark()) {
            return libraryMissing;
        }
        if (info->dlp.fImportByName) {
            logError("{} has no function {}", info->szDll, info->dlp.szProcName);
        } else {
            logError("{} has no function #{}", info->szDll, info->dlp.dwOrdinal);
        }
        return functionMissing;
    default:
        return nullptr;
    }
}

} // namespace

// MSVC's header declares the hook const, MinGW-w64's does not.
extern "C" {
#ifdef _MSC_VER
const
#endif
    PfnDliHook __pfnDliFailureHook2 = onDelayLoadFailure;
}
