#include "IphlpapiDouble.h"

#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>
#include <netioapi.h>

#include <optional>

namespace iphlpdouble {
namespace {

constexpr ULONG64 luidBase = 0x0006'0000'0000'0000ULL;

struct State {
    std::optional<std::wstring> alias;
    NET_IFINDEX index = 0;
    std::chrono::steady_clock::time_point appearsAt{};
    DWORD aliasStatus = 0;
    DWORD indexStatus = 0;
    std::vector<std::wstring> asked;
    int indexLookups = 0;
};

State& state() {
    static State s;
    return s;
}

} // namespace

void reset() {
    state() = State{};
}

void interfaceAppears(const std::wstring& alias, NET_IFINDEX index,
                      std::chrono::milliseconds delay) {
    state().alias = alias;
    state().index = index;
    state().appearsAt = std::chrono::steady_clock::now() + delay;
}

void aliasLookupAnswers(DWORD status) {
    state().aliasStatus = status;
}

void indexLookupAnswers(DWORD status) {
    state().indexStatus = status;
}

std::vector<std::wstring> aliasesAsked() {
    return state().asked;
}

int indexLookups() {
    return state().indexLookups;
}

} // namespace iphlpdouble

using namespace iphlpdouble;

extern "C" {

NETIO_STATUS WINAPI ConvertInterfaceAliasToLuid(const WCHAR* InterfaceAlias,
                                                PNET_LUID InterfaceLuid) {
    State& s = state();
    s.asked.emplace_back(InterfaceAlias);
    if (!s.alias || *s.alias != InterfaceAlias || std::chrono::steady_clock::now() < s.appearsAt) {
        return notFound;
    }
    if (s.aliasStatus != 0) {
        return s.aliasStatus;
    }
    InterfaceLuid->Value = luidBase + s.index;
    return 0;
}

NETIO_STATUS WINAPI ConvertInterfaceLuidToIndex(const NET_LUID* InterfaceLuid,
                                                PNET_IFINDEX InterfaceIndex) {
    State& s = state();
    ++s.indexLookups;
    if (s.indexStatus != 0) {
        return s.indexStatus;
    }
    if (!s.alias || InterfaceLuid->Value != luidBase + s.index) {
        return ERROR_INVALID_PARAMETER;
    }
    *InterfaceIndex = s.index;
    return 0;
}

} // extern "C"
