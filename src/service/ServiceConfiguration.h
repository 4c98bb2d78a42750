#pragma once

#include <windows.h>

#include <string>

// What the package asks the service manager to hold for the service beyond its
// ServiceInstall row: the restarts after a failure, that a stop with an error counts as one,
// and the only privileges the process may get. Windows Installer's own tables for these
// (MsiServiceConfig*) are documented as unreliable, so the package runs "Orvanet.exe
// configure" as a deferred custom action between installing and starting the service.

// ChangeServiceConfig2W, or a test's recorder in its place.
using ChangeServiceConfig2Function = BOOL(WINAPI*)(SC_HANDLE, DWORD, LPVOID);

struct ConfigurationReport {
    std::string text;   // one line per setting, for standard output
    DWORD exitCode = 0; // the first error of a setting that failed; 0 when none did
};

// Applies each setting to `service`, in order, and says what became of each. A level the
// service manager does not know (ERROR_INVALID_LEVEL, as on a service manager without it) is
// reported and not counted as a failure; any other error is.
ConfigurationReport applyServiceConfiguration(SC_HANDLE service,
                                              ChangeServiceConfig2Function change);

// The "configure" verb: opens the service "Orvanet", applies the settings, prints the report
// and returns the exit code for the installer.
int configureService();
