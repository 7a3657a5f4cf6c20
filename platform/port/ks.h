// Kernel-streaming structures as the driver sees them: GUIDs, property
// requests and the video-processing property buffer. Pointer-free published
// structures keep their published byte sizes.
#pragma once

#include "platform/kernel/kernel.h"

struct GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
};
static_assert(sizeof(GUID) == 16);

inline bool IsEqualGUID(const GUID &a, const GUID &b)
{
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           __builtin_memcmp(a.Data4, b.Data4, sizeof(a.Data4)) == 0;
}

// A property request: the set, the property within it, and get/set flags.
struct KSPROPERTY {
    GUID Set;
    ULONG Id;
    ULONG Flags;
};
static_assert(sizeof(KSPROPERTY) == 24);

constexpr ULONG KSPROPERTY_TYPE_GET = 0x00000001;
constexpr ULONG KSPROPERTY_TYPE_SET = 0x00000002;

// The 40-byte property buffer of the video-processing set; the driver's own
// property set uses the same layout.
struct KSPROPERTY_VIDEOPROCAMP_S {
    KSPROPERTY Property;
    LONG Value;
    ULONG Flags;
    ULONG Capabilities;
    ULONG Reserved; // pads the published record to a multiple of 8 bytes
};
static_assert(sizeof(KSPROPERTY_VIDEOPROCAMP_S) == 40);

constexpr ULONG KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO = 0x0001;
constexpr ULONG KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL = 0x0002;

// PROPSETID_VIDCAP_VIDEOPROCAMP {C6E13360-30AC-11D0-A18C-00A0C9118956}
inline constexpr GUID PROPSETID_VIDCAP_VIDEOPROCAMP = {
    0xC6E13360, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
