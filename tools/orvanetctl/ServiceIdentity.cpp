#include "ServiceIdentity.h"

#include "platform/Owners.h"

namespace {

std::string failure(const char* call) {
    return std::string(call) + " failed with error " + std::to_string(GetLastError());
}

} // namespace

ServiceProcess queryServiceProcess(const std::wstring& serviceName) {
    ServiceProcess result;
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        result.error = failure("OpenSCManager");
        return result;
    }
    ServiceHandle service(OpenServiceW(manager.get(), serviceName.c_str(), SERVICE_QUERY_STATUS));
    if (!service) {
        result.error = GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST
                           ? std::string("the service is not installed")
                           : failure("OpenService");
        return result;
    }
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
        result.error = failure("QueryServiceStatusEx");
        return result;
    }
    result.state = status.dwCurrentState;
    // A stopped service may still report the id of its old process, which the system
    // can since have given to another one.
    result.processId = status.dwCurrentState == SERVICE_STOPPED ? 0 : status.dwProcessId;
    return result;
}
