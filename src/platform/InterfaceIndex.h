#pragma once

#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>
#include <netioapi.h>

// The index of the interface an alias names, through its LUID as the platform resolves
// it; on failure, the call that failed and its status. Links iphlpapi (or its double).
struct AliasIndex {
    NET_IFINDEX index = 0;
    const char* failedCall = nullptr;
    DWORD status = NO_ERROR;
};

inline AliasIndex indexOfAlias(const wchar_t* alias) {
    NET_LUID luid{};
    luid.Value = 0;
    if (const DWORD status = ConvertInterfaceAliasToLuid(alias, &luid); status != NO_ERROR) {
        return {0, "ConvertInterfaceAliasToLuid", status};
    }
    NET_IFINDEX index = 0;
    if (const DWORD status = ConvertInterfaceLuidToIndex(&luid, &index); status != NO_ERROR) {
        return {0, "ConvertInterfaceLuidToIndex", status};
    }
    return {index, nullptr, NO_ERROR};
}
