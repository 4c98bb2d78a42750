#pragma once

#include <filesystem>
#include <string>

// The service as the Service Control Manager reports it, and the files it runs.

// service.txt: start type, account, binary path, state, last exit code. `binaryPath` is set
// when the program is found; `failure` says why there is no report.
std::string serviceReport(const std::wstring& name, std::filesystem::path& binaryPath,
                          std::string& failure);

// versions.txt: the file versions of orvanetctl.exe and, beside `binary`, of Orvanet.exe and
// tun2proxy.dll.
std::string versionsReport(const std::filesystem::path& binary);
