#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace bench {

// One exchange as a client of the control pipe makes it: connect, one write, read until
// the server disconnects, close. Synchronous I/O, so that the client adds as little as it
// can to what is measured. False with the Windows error on any failure.
bool exchange(const std::wstring& pipeName, std::string_view request, std::string& response,
              DWORD& error);

} // namespace bench
