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

// ---- Data formats and ranges ---------------------------------------------------

// A data format (or, with the same layout, a data range): its size in bytes
// including what follows it, and the three GUIDs that name it.
struct KSDATAFORMAT {
    ULONG FormatSize;
    ULONG Flags;
    ULONG SampleSize;
    ULONG Reserved;
    GUID MajorFormat;
    GUID SubFormat;
    GUID Specifier;
};
static_assert(sizeof(KSDATAFORMAT) == 64);
using KSDATARANGE = KSDATAFORMAT;

// Set, id and flags: a medium, an interface, a property type.
struct KSIDENTIFIER {
    GUID Set;
    ULONG Id;
    ULONG Flags;
};
static_assert(sizeof(KSIDENTIFIER) == 24);
using KSPIN_MEDIUM = KSIDENTIFIER;

enum KSPIN_DATAFLOW : ULONG { KSPIN_DATAFLOW_IN = 1, KSPIN_DATAFLOW_OUT = 2 };

enum KSSTATE : ULONG { KSSTATE_STOP = 0, KSSTATE_ACQUIRE = 1, KSSTATE_PAUSE = 2, KSSTATE_RUN = 3 };

// ---- Video formats -------------------------------------------------------------

struct KS_RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};

struct KS_SIZE {
    LONG cx;
    LONG cy;
};

struct KS_BITMAPINFOHEADER {
    ULONG biSize;
    LONG biWidth;
    LONG biHeight; // negative: top-down
    USHORT biPlanes;
    USHORT biBitCount;
    ULONG biCompression;
    ULONG biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    ULONG biClrUsed;
    ULONG biClrImportant;
};
static_assert(sizeof(KS_BITMAPINFOHEADER) == 40);

constexpr ULONG KS_BI_RGB = 0;

// The fixed part of the video information header is 48 bytes; the bitmap
// header (biSize bytes, 40 at least) follows it.
struct KS_VIDEOINFOHEADER {
    KS_RECT rcSource;
    KS_RECT rcTarget;
    ULONG dwBitRate;
    ULONG dwBitErrorRate;
    LONGLONG AvgTimePerFrame; // 100-ns units
    KS_BITMAPINFOHEADER bmiHeader;
};
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88);
static_assert(offsetof(KS_VIDEOINFOHEADER, bmiHeader) == 48);

struct KS_VIDEO_STREAM_CONFIG_CAPS {
    GUID guid;
    ULONG VideoStandard;
    KS_SIZE InputSize;
    KS_SIZE MinCroppingSize;
    KS_SIZE MaxCroppingSize;
    LONG CropGranularityX;
    LONG CropGranularityY;
    LONG CropAlignX;
    LONG CropAlignY;
    KS_SIZE MinOutputSize;
    KS_SIZE MaxOutputSize;
    LONG OutputGranularityX;
    LONG OutputGranularityY;
    LONG StretchTapsX;
    LONG StretchTapsY;
    LONG ShrinkTapsX;
    LONG ShrinkTapsY;
    LONGLONG MinFrameInterval; // 100-ns units
    LONGLONG MaxFrameInterval;
    LONG MinBitsPerSecond;
    LONG MaxBitsPerSecond;
};
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128);

struct KS_DATARANGE_VIDEO {
    KSDATARANGE DataRange;
    ULONG bFixedSizeSamples;
    ULONG bTemporalCompression;
    ULONG StreamDescriptionFlags;
    ULONG MemoryAllocationFlags;
    KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
    KS_VIDEOINFOHEADER VideoInfoHeader;
};
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296);
static_assert(offsetof(KS_DATARANGE_VIDEO, ConfigCaps) == 80);
static_assert(offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) == 208);

// A concrete video format: the data format followed by its video header.
struct KS_DATAFORMAT_VIDEOINFOHEADER {
    KSDATAFORMAT DataFormat;
    KS_VIDEOINFOHEADER VideoInfoHeader;
};
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152);

constexpr ULONG KS_VIDEOSTREAM_PREVIEW = 0x0001;
constexpr ULONG KS_VIDEOSTREAM_CAPTURE = 0x0002;

// ---- Streaming -----------------------------------------------------------------

struct KSTIME {
    LONGLONG Time;
    ULONG Numerator;
    ULONG Denominator;
};

// One buffer of a read: where the data goes and how much of it is valid.
struct KSSTREAM_HEADER {
    ULONG Size;
    ULONG TypeSpecificFlags;
    KSTIME PresentationTime;
    LONGLONG Duration;
    ULONG FrameExtent; // bytes the buffer holds
    ULONG DataUsed;    // bytes the driver filled
    PVOID Data;
    ULONG OptionsFlags;
    ULONG Reserved;
};

// ---- Property sets and topology --------------------------------------------------

struct KSPROPERTY_MEMBERSHEADER {
    ULONG MembersFlags;
    ULONG MembersSize;
    ULONG MembersCount;
    ULONG Flags;
};

constexpr ULONG KSPROPERTY_MEMBER_RANGES = 0x00000001;
constexpr ULONG KSPROPERTY_MEMBER_STEPPEDRANGES = 0x00000002;
constexpr ULONG KSPROPERTY_MEMBER_VALUES = 0x00000003;
constexpr ULONG KSPROPERTY_MEMBER_FLAG_DEFAULT = 0x00000001;

struct KSPROPERTY_BOUNDS_LONG {
    LONG SignedMinimum;
    LONG SignedMaximum;
};

struct KSPROPERTY_STEPPING_LONG {
    ULONG SteppingDelta;
    ULONG Reserved;
    KSPROPERTY_BOUNDS_LONG Bounds;
};
static_assert(sizeof(KSPROPERTY_STEPPING_LONG) == 16);

struct KSPROPERTY_MEMBERSLIST {
    KSPROPERTY_MEMBERSHEADER MembersHeader;
    const void *Members;
};

struct KSPROPERTY_VALUES {
    KSIDENTIFIER PropTypeSet;
    ULONG MembersListCount;
    const KSPROPERTY_MEMBERSLIST *MembersList;
};

// VT_I4: a 32-bit signed property value.
constexpr ULONG VT_I4 = 3;

// The property handlers of a set item are not called through the table: the
// driver answers property requests itself, so the table only says which
// directions are supported.
struct KSPROPERTY_ITEM {
    ULONG PropertyId;
    ULONG_PTR GetSupported;
    ULONG MinProperty;
    ULONG MinData;
    ULONG_PTR SetSupported;
    const KSPROPERTY_VALUES *Values;
    ULONG RelationsCount;
    const KSPROPERTY *Relations;
    PVOID SupportHandler;
    ULONG SerializedSize;
};

struct KSPROPERTY_SET {
    const GUID *Set;
    ULONG PropertiesCount;
    const KSPROPERTY_ITEM *PropertyItem;
    ULONG FastIoCount;
    const void *FastIoTable;
};

struct KSTOPOLOGY_CONNECTION {
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
};

struct KSTOPOLOGY {
    ULONG CategoriesCount;
    const GUID *Categories;
    ULONG TopologyNodesCount;
    const GUID *TopologyNodes;
    ULONG TopologyConnectionsCount;
    const KSTOPOLOGY_CONNECTION *TopologyConnections;
    const GUID *TopologyNodesNames;
    ULONG Reserved;
};

// ---- Published GUIDs -------------------------------------------------------------

// KSDATAFORMAT_TYPE_VIDEO {73646976-0000-0010-8000-00AA00389B71}
inline constexpr GUID KSDATAFORMAT_TYPE_VIDEO = {
    0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
// KSDATAFORMAT_SPECIFIER_VIDEOINFO {05589F80-C356-11CE-BF01-00AA0055595A}
inline constexpr GUID KSDATAFORMAT_SPECIFIER_VIDEOINFO = {
    0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
// MEDIASUBTYPE_RGB24 {E436EB7D-524F-11CE-9F53-0020AF0BA770}
inline constexpr GUID MEDIASUBTYPE_RGB24 = {
    0xE436EB7D, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
// MEDIASUBTYPE_RGB555 {E436EB7C-524F-11CE-9F53-0020AF0BA770}
inline constexpr GUID MEDIASUBTYPE_RGB555 = {
    0xE436EB7C, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
// The four-character-code subtypes {XXXXXXXX-0000-0010-8000-00AA00389B71}.
inline constexpr GUID KsFourCCSubtype(ULONG fourCC)
{
    return {fourCC, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}
// Four characters as the little-endian word a bitmap header carries.
constexpr ULONG KsFourCC(const char (&code)[5])
{
    return static_cast<ULONG>(static_cast<UCHAR>(code[0])) |
           static_cast<ULONG>(static_cast<UCHAR>(code[1])) << 8 |
           static_cast<ULONG>(static_cast<UCHAR>(code[2])) << 16 |
           static_cast<ULONG>(static_cast<UCHAR>(code[3])) << 24;
}
// PINNAME_VIDEO_CAPTURE {FB6C4281-0353-11D1-905F-0000C0CC16BA}
inline constexpr GUID PINNAME_VIDEO_CAPTURE = {
    0xFB6C4281, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
// KSMEDIUMSETID_Standard {4747B320-62CE-11CF-A5D6-28DB04C10000}
inline constexpr GUID KSMEDIUMSETID_Standard = {
    0x4747B320, 0x62CE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
// KSCATEGORY_VIDEO {6994AD05-93EF-11D0-A3CC-00A0C9223196}
inline constexpr GUID KSCATEGORY_VIDEO = {
    0x6994AD05, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
// KSCATEGORY_CAPTURE {65E8773D-8F56-11D0-A3B9-00A0C9223196}
inline constexpr GUID KSCATEGORY_CAPTURE = {
    0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
// KSPROPTYPESETID_General {97E99BA0-BDEA-11CF-A5D6-28DB04C10000}
inline constexpr GUID KSPROPTYPESETID_General = {
    0x97E99BA0, 0xBDEA, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
