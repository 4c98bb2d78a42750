#include "pipe/PipeSecurity.h"

#include <aclapi.h>

PipeSecurity::PipeSecurity() {
    // The SID is needed only while the ACL is built: SetEntriesInAclW copies it.
    PSID world = nullptr;
    SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
    if (!AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                  &world)) {
        return;
    }
    const AllocatedSid everyone(world);

    EXPLICIT_ACCESS_W access{};
    access.grfAccessPermissions = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.pMultipleTrustee = nullptr;
    access.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = static_cast<LPWSTR>(everyone.get());

    PACL newDacl = nullptr;
    if (SetEntriesInAclW(1, &access, nullptr, &newDacl) != ERROR_SUCCESS) {
        return;
    }
    dacl.reset(newDacl);

    descriptor.reset(LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
    if (!descriptor) {
        return;
    }
    auto* sd = static_cast<PSECURITY_DESCRIPTOR>(descriptor.get());
    if (!InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(sd, TRUE, newDacl, FALSE)) {
        descriptor.reset();
        dacl.reset();
        return;
    }

    securityAttributes.nLength = sizeof(securityAttributes);
    securityAttributes.lpSecurityDescriptor = sd;
    securityAttributes.bInheritHandle = FALSE;
    built = true;
}
