#pragma once

#include <windows.h>

#include <string>

// The process of an installed service, as the Service Control Manager knows it.
struct ServiceProcess {
    DWORD processId = 0; // 0 when the service has no process
    DWORD state = 0;
    std::string error; // set when the manager could not be asked
};

ServiceProcess queryServiceProcess(const std::wstring& serviceName);
