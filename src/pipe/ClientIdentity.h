#pragma once

#include <windows.h>

#include <string>

// Who is on the other end of a connected instance, as one log message: the client's
// process id, its program's full path and the account it runs as. What cannot be learnt is
// named as unknown with the reason; the request is served either way.
//
// The account comes from the client's token, taken by impersonating the client at
// whatever level it allowed (identification suffices) and reverting at once. Windows
// allows that only after the first read from the instance.
std::string describeClient(HANDLE instance);
