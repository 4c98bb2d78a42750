#pragma once

#include "platform/Owners.h"

#include <string>
#include <string_view>

// The client side of the control pipe, as a test drives it: plain synchronous handles.
namespace pipeclient {

// Opens the control pipe for reading and writing, retrying while it is busy or absent, for
// a bounded number of attempts; an invalid handle when the server never offered it.
UniqueHandle open();
// One WriteFile of the whole text; true when all of it was written.
bool write(HANDLE pipe, std::string_view text);
// Reads until the server ends the connection.
std::string readToEnd(HANDLE pipe);
// One whole exchange: open, write, read the response, close.
std::string exchange(std::string_view request);

} // namespace pipeclient
