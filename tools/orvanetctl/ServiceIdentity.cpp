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

std::filesystem::path
serviceProgram(const std::wstring& command,
               const std::function<bool(const std::filesystem::path&)>& isFile) {
    const std::size_t begin = command.find_first_not_of(L" \t");
    if (begin == std::wstring::npos) {
        return {};
    }
    if (command[begin] == L'"') {
        const std::size_t end = command.find(L'"', begin + 1);
        return command.substr(begin + 1, end == std::wstring::npos ? end : end - begin - 1);
    }
    for (std::size_t cut = command.find(L' ', begin);; cut = command.find(L' ', cut + 1)) {
        std::filesystem::path candidate = command.substr(begin, cut - begin);
        if (!candidate.has_extension()) {
            candidate += L".exe";
        }
        if (isFile(candidate)) {
            return candidate;
        }
        if (cut == std::wstring::npos) {
            return command.substr(begin);
        }
    }
}
