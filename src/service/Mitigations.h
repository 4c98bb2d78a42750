#pragma once

#include <windows.h>

// How a policy is set: SetProcessMitigationPolicy, or a test's recorder.
using MitigationSetter = BOOL(WINAPI*)(PROCESS_MITIGATION_POLICY policy, PVOID buffer,
                                       SIZE_T length);

// Asks the platform for the mitigation policies a service may set for itself (the table in
// Mitigations.cpp). A policy the platform refuses is one WARN line; the start goes on.
void setMitigationPolicies(MitigationSetter set = &SetProcessMitigationPolicy);
