#pragma once

#include <windows.h>

#include "platform/Owners.h"

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

// Who is on the other end of a connected instance, as one log message: the client's
// process id, its program's full path and the account it runs as. What cannot be learnt is
// named as unknown with the reason; the request is served either way.
//
// The account comes from the client's token, taken by impersonating the client at
// whatever level it allowed (identification suffices) and reverting at once. Windows
// allows that only after the first read from the instance.
std::string describeClient(HANDLE instance);
// That line from its parts: the program's path cut from its start and the account from its
// end, where either would make the line too long.
std::string clientLine(DWORD processId, std::string_view program, std::string_view account);

// The program paths of client processes, kept with a handle to each process. While a handle
// is open the process id cannot be given to another process, so a client whose id is kept
// is the process whose path was read: a client that polls costs no look-up after its first
// request. When the limit is reached the entries of processes that have ended are dropped,
// or all of them if every process still runs.
class ClientPrograms {
public:
    explicit ClientPrograms(std::size_t limit = 16);

    // The full path of the client's program, or "unknown (reason)".
    std::string pathOf(DWORD processId);
    std::size_t kept();

private:
    struct Known {
        UniqueHandle process;
        std::string path;
    };

    void makeRoom();

    std::size_t limit;
    std::mutex mutex;
    std::map<DWORD, Known> known;
};

// Account names by SID, each looked up once. The look-up was the slowest part of naming a
// client (most of a request under Wine), and a client that polls asks it again and again
// for the same account. A name changed while the service runs is logged under its old
// name until the service restarts; the SID is what identifies the account.
class AccountNames {
public:
    // Nothing when the SID has no name (yet): such answers are not kept.
    using Lookup = std::optional<std::string> (*)(PSID sid);

    explicit AccountNames(Lookup lookup, std::size_t limit = 64);

    std::optional<std::string> nameOf(PSID sid);

private:
    Lookup lookup;
    std::size_t limit;
    std::mutex mutex;
    std::map<std::string, std::string> names;
};
