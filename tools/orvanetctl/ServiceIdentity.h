#pragma once

#include <windows.h>

#include <filesystem>
#include <functional>
#include <string>

// The process of an installed service, as the Service Control Manager knows it.
struct ServiceProcess {
    DWORD processId = 0; // 0 when the service has no process
    DWORD state = 0;
    std::string error; // set when the manager could not be asked
};

ServiceProcess queryServiceProcess(const std::wstring& serviceName);

// The program a service's command line (its image path) runs, found as the service manager
// finds it: a quoted path is the program, whatever follows; an unquoted one is cut at the
// first space after which what comes before names an existing file (".exe" added where it has
// no extension), so that "C:\Program Files\Orvanet\Orvanet.exe", stored without quotes,
// is not read as "C:\Program". Where no cut names a file, the whole line. `isFile` says
// whether a path names an existing file.
std::filesystem::path
serviceProgram(const std::wstring& command,
               const std::function<bool(const std::filesystem::path&)>& isFile);
