#pragma once

#include <array>

// The privileges the service process keeps. LocalSystem's token carries some twenty (debug any
// process, act as the operating system, back up and restore any file, take ownership...);
// code that got into the process would inherit them all. The service itself needs none of
// them: the filtering engine checks its caller's identity, not a privilege; the pipe reads a
// client's account at the identification level, which needs none; the log folders and the
// crash dump are made with the process's own owner and read no audit descriptor. The
// tunnel engine needs one: it loads its driver when it makes its adapter. Traverse checking
// is bypassed by every token and removing it only breaks path lookups.
inline constexpr std::array<const wchar_t*, 2> kKeptPrivileges = {
    L"SeChangeNotifyPrivilege",
    L"SeLoadDriverPrivilege",
};

// Removes every other privilege from the process token for good (a removed privilege cannot
// be enabled again), then logs one line naming what the token still holds, read back from
// it. A privilege that cannot be removed is a WARN line; the start goes on.
void dropPrivileges();
