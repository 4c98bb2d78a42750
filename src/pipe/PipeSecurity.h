#pragma once

#include "platform/Owners.h"

#include <windows.h>

// The security of the pipe's instances: a DACL whose one entry grants Everyone read and
// write. When any step fails the object holds nothing and attributes() is null, so that the
// instances get the default security of the service's account.
class PipeSecurity {
public:
    PipeSecurity();
    ~PipeSecurity() = default;
    PipeSecurity(const PipeSecurity&) = delete;
    PipeSecurity& operator=(const PipeSecurity&) = delete;

    SECURITY_ATTRIBUTES* attributes() { return built ? &securityAttributes : nullptr; }

private:
    LocalMemory dacl;
    LocalMemory descriptor;
    SECURITY_ATTRIBUTES securityAttributes{};
    bool built = false;
};
