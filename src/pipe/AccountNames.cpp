#include "pipe/AccountNames.h"

AccountNames::AccountNames(Lookup lookup, std::size_t limit) : lookup(lookup), limit(limit) {}

std::optional<std::string> AccountNames::nameOf(PSID sid) {
    if (!IsValidSid(sid)) {
        return std::nullopt;
    }
    std::string key(static_cast<const char*>(sid), GetLengthSid(sid));
    {
        std::lock_guard lock(mutex);
        if (const auto known = names.find(key); known != names.end()) {
            return known->second;
        }
    }
    // Looked up without the lock: two threads asking at once both look up, and agree.
    std::optional<std::string> name = lookup(sid);
    if (name) {
        std::lock_guard lock(mutex);
        // Local accounts that ever connect are few; many more means something is churning
        // through SIDs, and starting afresh keeps the memory bounded.
        if (names.size() >= limit) {
            names.clear();
        }
        names.emplace(std::move(key), *name);
    }
    return name;
}
