#include "platform/ModuleFolder.h"
#include "platform/Utf8.h"
#include "service/ServiceConfiguration.h"
#include "service/ServiceHost.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Run from a console: how to install by hand. Named by its full path, which argv[0] is not
// when the program is started from its own folder.
void printInstallHelp() {
    const std::string path =
        toUtf8(modulePath(nullptr).native(), InvalidText::Replace).value_or("Orvanet.exe");
    printf("Orvanet Service\n");
    printf("================\n");
    printf("This executable is designed to run as a Windows Service.\n");
    printf("Install it with its package (msiexec /i Orvanet-VERSION.msi), which also sets\n");
    printf("its recovery and privileges. By hand, in a Command Prompt run as administrator\n");
    printf("(not PowerShell, where sc is another command and \\\" no escape):\n\n");
    // The path quoted inside the argument: typed in a console the outer quotes are the
    // shell's, and a path with a space stored unquoted is one the service manager may read
    // as C:\Program.exe.
    printf("To install:   sc.exe create Orvanet binPath= \"\\\"%s\\\"\"\n", path.c_str());
    printf("To configure: \"%s\" configure\n", path.c_str());
    printf("To start:     sc.exe start Orvanet\n");
    printf("To stop:      sc.exe stop Orvanet\n");
    printf("To delete:    sc.exe delete Orvanet\n\n");
    printf("Library functions linked successfully.\n");
}

} // namespace

int main(int argc, char* argv[]) {
    // Beside the service (the engine and what it needs) and System32, never the current
    // folder or PATH; before anything is loaded by name.
    g_dllSearchPin =
        pinDllSearch(LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    // The package's custom action, between installing the service and starting it. The
    // service manager starts the service with no arguments.
    if (argc == 2 && std::strcmp(argv[1], "configure") == 0) {
        return configureService();
    }
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
    printInstallHelp();
    return 0;
}
