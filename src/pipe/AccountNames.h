#pragma once

#include <windows.h>

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>

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
