#pragma once

#include <windows.h>

// Where a library loaded by its plain name may come from. Left to the platform's default, a
// load that finds nothing beside the program and in System32 goes on to the current folder
// and every folder on PATH, where any user may be able to put a file: code of theirs would
// then run in this process. That covers our own loads, the runtime's delay-load helper and
// whatever the tunnel engine loads (its driver library, by plain name). Called first thing
// in main, before anything loads; what failed is kept for the caller to report once it can.
struct DllSearchPin {
    DWORD dllDirectoryError = 0;       // SetDllDirectoryW(L"")
    DWORD defaultDirectoriesError = 0; // SetDefaultDllDirectories
};

// `directories`: LOAD_LIBRARY_SEARCH_* flags for SetDefaultDllDirectories.
inline DllSearchPin pinDllSearch(DWORD directories) {
    DllSearchPin pin;
    // Takes the current folder out of the older search order, for a platform where the
    // call below is missing; it is the call below that decides where the platform has both.
    if (!SetDllDirectoryW(L"")) {
        pin.dllDirectoryError = GetLastError();
    }
    if (!SetDefaultDllDirectories(directories)) {
        pin.defaultDirectoriesError = GetLastError();
    }
    return pin;
}
