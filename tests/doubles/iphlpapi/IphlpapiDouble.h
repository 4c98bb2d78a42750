#pragma once

#include <windows.h>
#include <ifdef.h>

#include <chrono>
#include <string>
#include <vector>

// Link-time replacement of ConvertInterfaceAliasToLuid and ConvertInterfaceLuidToIndex:
// one interface, matched on its exact wide alias, that appears when the test says.
namespace iphlpdouble {

// The status an unknown alias gets (what Windows answers: ERROR_FILE_NOT_FOUND).
inline constexpr DWORD notFound = 2;

void reset();
// The interface exists from `delay` after this call on.
void interfaceAppears(const std::wstring& alias, NET_IFINDEX index,
                      std::chrono::milliseconds delay = std::chrono::milliseconds(0));
// The alias lookup answers this status (for a known alias), or the index lookup does.
void aliasLookupAnswers(DWORD status);
void indexLookupAnswers(DWORD status);

// Every alias that ConvertInterfaceAliasToLuid was given, as given.
std::vector<std::wstring> aliasesAsked();
int indexLookups();

} // namespace iphlpdouble
