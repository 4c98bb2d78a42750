#include "service/Mitigations.h"

#include "log/Logger.h"

namespace {

// Bits of each policy's Flags, as the platform publishes them.
constexpr DWORD kNoRemoteImages = 1u << 0;            // ..._IMAGE_LOAD_POLICY
constexpr DWORD kNoLowMandatoryLabelImages = 1u << 1; // ..._IMAGE_LOAD_POLICY
constexpr DWORD kDisableExtensionPoints = 1u << 0;    // ..._EXTENSION_POINT_DISABLE_POLICY

struct Mitigation {
    PROCESS_MITIGATION_POLICY policy;
    const char* name;
    DWORD flags;
    const char* what; // what stays allowed if the platform refuses
};

// Left out, since each would refuse what the service must run: code signed by Microsoft
// only (the engine and the stand-ins are not), System32 images first (it would take the
// platform's WFP client over the stand-in placed beside the service), no dynamic code and
// strict handle checks (the engine is another project's code: a refusal there ends the
// tunnel, or the whole process, where today one call fails).
constexpr Mitigation kMitigations[] = {
    // #1 No image from a remote share, nor one that a low-integrity process wrote (a
    //    browser's download, say).
    {ProcessImageLoadPolicy, "ProcessImageLoadPolicy", kNoRemoteImages | kNoLowMandatoryLabelImages,
     "images from remote shares or of low integrity"},
    // #2 No code injected through the legacy extension points.
    {ProcessExtensionPointDisablePolicy, "ProcessExtensionPointDisablePolicy",
     kDisableExtensionPoints, "AppInit DLLs, legacy hooks and Winsock layered providers"},
};

} // namespace

void setMitigationPolicies(MitigationSetter set) {
    for (const auto& mitigation : kMitigations) {
        // Each policy's structure is one DWORD of flags (MinGW-w64 declares some larger).
        DWORD flags = mitigation.flags;
        if (!set(mitigation.policy, &flags, sizeof flags)) {
            Logger::instance().log(LogLevel::Warn,
                                   "SetProcessMitigationPolicy({}) failed with error: {}; {} "
                                   "stay allowed",
                                   mitigation.name, GetLastError(), mitigation.what);
        }
    }
}
