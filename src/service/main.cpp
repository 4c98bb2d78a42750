#include "service/ServiceHost.h"

#include <cstdio>

int main(int /*argc*/, char* argv[]) {
    // Beside the service (the engine and what it needs) and System32, never the current
    // folder or PATH; before anything is loaded by name.
    g_dllSearchPin =
        pinDllSearch(LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    SERVICE_TABLE_ENTRYA dispatchTable[] = {
        {const_cast<LPSTR>(kServiceName), ServiceMain},
        {nullptr, nullptr},
    };
    if (StartServiceCtrlDispatcherA(dispatchTable)) {
        return 0;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
        return static_cast<int>(error);
    }
    printf("Orvanet Service\n");
    printf("================\n");
    printf("This executable is designed to run as a Windows Service.\n\n");
    // The path quoted inside the argument: typed in a console the outer quotes are the
    // shell's, and a path with a space stored unquoted is one the service manager may read
    // as C:\Program.exe. The package is the way to install (README).
    printf("To install: sc create Orvanet binPath= \"\\\"%s\\\"\"\n", argv[0]);
    printf("To start:   sc start Orvanet\n");
    printf("To stop:    sc stop Orvanet\n");
    printf("To delete:  sc delete Orvanet\n\n");
    printf("Library functions linked successfully.\n");
    return 0;
}
