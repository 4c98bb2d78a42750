#pragma once

// WFP names that MinGW-w64's headers leave out, with the values Windows publishes.
// Guarded so that a toolchain which does define them keeps its own.

#include <windows.h>
#include <fwpmu.h>

#ifndef FWPM_SESSION_FLAG_DYNAMIC
#define FWPM_SESSION_FLAG_DYNAMIC (0x00000001)
#endif

#ifndef FWP_E_ALREADY_EXISTS
#define FWP_E_ALREADY_EXISTS ((HRESULT)0x80320009L)
#endif

#ifndef FWPM_FILTER_FLAG_NONE
#define FWPM_FILTER_FLAG_NONE (0x00000000)
#endif

#ifndef FWPM_LAYER_OUTBOUND_TRANSPORT_V4
static const GUID FWPM_LAYER_OUTBOUND_TRANSPORT_V4 = {
    0x09e61aea, 0xd214, 0x46e2, {0x9b, 0x21, 0xb2, 0x6b, 0x0b, 0x2f, 0x28, 0xc8}};
#endif

#ifndef FWPM_LAYER_OUTBOUND_TRANSPORT_V6
static const GUID FWPM_LAYER_OUTBOUND_TRANSPORT_V6 = {
    0xe1735bde, 0x013f, 0x4655, {0xb3, 0x51, 0xa4, 0x9e, 0x15, 0x76, 0x2d, 0xf0}};
#endif

#ifndef FWPM_CONDITION_IP_PROTOCOL
static const GUID FWPM_CONDITION_IP_PROTOCOL = {
    0x3971ef2b, 0x623e, 0x4f9a, {0x8c, 0xb1, 0x6e, 0x79, 0xb8, 0x06, 0xb9, 0xa7}};
#endif

#ifndef FWPM_CONDITION_IP_REMOTE_PORT
static const GUID FWPM_CONDITION_IP_REMOTE_PORT = {
    0xc35a604d, 0xd22b, 0x4e1a, {0x91, 0xb4, 0x68, 0xf6, 0x74, 0xee, 0x67, 0x4b}};
#endif

#ifndef FWPM_CONDITION_INTERFACE_INDEX
static const GUID FWPM_CONDITION_INTERFACE_INDEX = {
    0x667fd755, 0xd695, 0x434a, {0x8a, 0xf5, 0xd3, 0x83, 0x5a, 0x12, 0x59, 0xbc}};
#endif
