#include "ServiceState.h"

#include "ImagePath.h"
#include "ReportText.h"
#include "ServiceIdentity.h"
#include "platform/ModuleFolder.h"
#include "platform/ModuleVersion.h"
#include "platform/Owners.h"
#include "platform/Utf8.h"

#include <windows.h>

#include <vector>

namespace fs = std::filesystem;

namespace {

const char* stateName(DWORD state) {
    switch (state) {
    case SERVICE_STOPPED:
        return "STOPPED";
    case SERVICE_START_PENDING:
        return "START_PENDING";
    case SERVICE_STOP_PENDING:
        return "STOP_PENDING";
    case SERVICE_RUNNING:
        return "RUNNING";
    default:
        return "other";
    }
}

const char* startTypeName(DWORD type) {
    switch (type) {
    case SERVICE_AUTO_START:
        return "automatic";
    case SERVICE_DEMAND_START:
        return "on demand";
    case SERVICE_DISABLED:
        return "disabled";
    default:
        return "boot or system";
    }
}

} // namespace

// The service as the Service Control Manager reports it; binaryPath is set when known.
std::string serviceReport(const std::wstring& name, fs::path& binaryPath, std::string& failure) {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle service(manager ? OpenServiceW(manager.get(), name.c_str(),
                                                 SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS)
                                  : nullptr);
    DWORD needed = 0;
    if (service) {
        QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    }
    std::vector<unsigned char> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    SERVICE_STATUS_PROCESS status{};
    if (!service || needed == 0 || !QueryServiceConfigW(service.get(), config, needed, &needed) ||
        !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
        const DWORD error = GetLastError();
        failure = error == ERROR_SERVICE_DOES_NOT_EXIST ? "the service is not installed"
                                                        : "error " + std::to_string(error);
        return {};
    }
    std::wstring command = config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : L"";
    binaryPath = serviceProgram(command, [](const std::wstring& path) {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES &&
               (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    });
    const auto text = [](const wchar_t* value) {
        return toUtf8(value != nullptr ? value : L"", InvalidText::Replace).value_or("");
    };
    return "name: " + text(name.c_str()) + "\nstart type: " + startTypeName(config->dwStartType) +
           " (" + std::to_string(config->dwStartType) +
           ")\naccount: " + text(config->lpServiceStartName) +
           "\nbinary path: " + text(command.c_str()) +
           "\nstate: " + stateName(status.dwCurrentState) + " (" +
           std::to_string(status.dwCurrentState) +
           ")\nlast exit code: " + std::to_string(status.dwWin32ExitCode) + " (service-specific " +
           std::to_string(status.dwServiceSpecificExitCode) +
           ")\nprocess id: " + std::to_string(status.dwProcessId) + "\n";
}

std::string fileVersion(const fs::path& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    std::vector<unsigned char> info(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, info.data()) ||
        !VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
        fixed == nullptr) {
        return "no version: error " + std::to_string(GetLastError());
    }
    return versionText(*fixed);
}

std::string versionsReport(const fs::path& binary) {
    std::string versions = "orvanetctl.exe " + shown(modulePath(nullptr)) + ": " +
                           fileVersion(modulePath(nullptr)) + "\n";
    if (binary.empty()) {
        return versions + "Orvanet.exe and tun2proxy.dll: not found, the service is not known\n";
    }
    versions += "Orvanet.exe " + shown(binary) + ": " + fileVersion(binary) + "\n";
    const fs::path engine = binary.parent_path() / L"tun2proxy.dll";
    return versions + "tun2proxy.dll " + shown(engine) + ": " + fileVersion(engine) + "\n";
}
