// The static description of the driver's stream: every value here is what the
// port library and capture applications see of it.

#include "driver/stream_data.h"

constexpr ULONG kStreamCount = 1;
constexpr ULONG kPropertySetCount = 1;
// The lookup tables have room for two streams; only stream 0 exists.
constexpr ULONG kTableStreams = 2;

// ---- Data ranges ------------------------------------------------------------------

// What differs between the six ranges; everything else is common.
struct STREAM_RANGE_ROW {
    GUID subFormat;
    ULONG compression;
    USHORT bitCount;
    LONG maxWidth;
    LONG maxHeight;
    ULONG sampleSize;
    LONG minBitsPerSecond;
    LONG maxBitsPerSecond;
    ULONG bitRate;
    ULONG sizeImage;
};

// Sizes follow one rule: sample size = largest picture x bits / 8; bit rates
// from 8 x 4 at 1 frame/s up to the largest picture at 30 frames/s; the
// default picture is 176 x 144 at 30 frames/s. Only 24-bit RGB reaches
// 704 x 576: the sensor's 352 x 288 doubled.
static constexpr STREAM_RANGE_ROW kRangeRows[STREAM_FORMAT_COUNT] = {
    {MEDIASUBTYPE_RGB24, KS_BI_RGB, 24, 704, 576, 1216512, 768, 291962880, 18247680, 76032},
    {MEDIASUBTYPE_RGB555, KS_BI_RGB, 16, 352, 288, 202752, 512, 48660480, 12165120, 50688},
    {KsFourCCSubtype(KsFourCC("I420")), KsFourCC("I420"), 12, 352, 288, 152064, 384, 36495360, 9123840,
     38016},
    {KsFourCCSubtype(KsFourCC("YV12")), KsFourCC("YV12"), 12, 352, 288, 152064, 384, 36495360, 9123840,
     38016},
    {KsFourCCSubtype(KsFourCC("UYVY")), KsFourCC("UYVY"), 16, 352, 288, 202752, 512, 48660480, 12165120,
     50688},
    {KsFourCCSubtype(KsFourCC("YUY2")), KsFourCC("YUY2"), 16, 352, 288, 202752, 512, 48660480, 12165120,
     50688},
};

static constexpr KS_DATARANGE_VIDEO mMakeRange(const STREAM_RANGE_ROW &row)
{
    KS_DATARANGE_VIDEO range{};
    range.DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO);
    range.DataRange.SampleSize = row.sampleSize;
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    range.DataRange.SubFormat = row.subFormat;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    range.bFixedSizeSamples = TRUE;
    range.bTemporalCompression = TRUE;
    range.StreamDescriptionFlags = KS_VIDEOSTREAM_CAPTURE;
    range.MemoryAllocationFlags = 0;

    KS_VIDEO_STREAM_CONFIG_CAPS &caps = range.ConfigCaps;
    caps.guid = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    caps.VideoStandard = 0;
    caps.InputSize = {row.maxWidth, row.maxHeight};
    caps.MinCroppingSize = {8, 4};
    caps.MaxCroppingSize = {row.maxWidth, row.maxHeight};
    caps.CropGranularityX = 8;
    caps.CropGranularityY = 4;
    caps.CropAlignX = 8;
    caps.CropAlignY = 4;
    caps.MinOutputSize = {8, 4};
    caps.MaxOutputSize = {row.maxWidth, row.maxHeight};
    caps.OutputGranularityX = 8;
    caps.OutputGranularityY = 4;
    caps.MinFrameInterval = 333333;   // 30 frames/s
    caps.MaxFrameInterval = 10000000; // 1 frame/s
    caps.MinBitsPerSecond = row.minBitsPerSecond;
    caps.MaxBitsPerSecond = row.maxBitsPerSecond;

    KS_VIDEOINFOHEADER &header = range.VideoInfoHeader;
    header.dwBitRate = row.bitRate;
    header.dwBitErrorRate = 0;
    header.AvgTimePerFrame = 333333;
    header.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
    header.bmiHeader.biWidth = 176;
    header.bmiHeader.biHeight = 144;
    header.bmiHeader.biPlanes = 1;
    header.bmiHeader.biBitCount = row.bitCount;
    header.bmiHeader.biCompression = row.compression;
    header.bmiHeader.biSizeImage = row.sizeImage;
    return range;
}

static constexpr KS_DATARANGE_VIDEO kRanges[STREAM_FORMAT_COUNT] = {
    mMakeRange(kRangeRows[0]), mMakeRange(kRangeRows[1]), mMakeRange(kRangeRows[2]),
    mMakeRange(kRangeRows[3]), mMakeRange(kRangeRows[4]), mMakeRange(kRangeRows[5]),
};

static const KSDATAFORMAT *const kStreamFormats[STREAM_FORMAT_COUNT] = {
    &kRanges[0].DataRange, &kRanges[1].DataRange, &kRanges[2].DataRange,
    &kRanges[3].DataRange, &kRanges[4].DataRange, &kRanges[5].DataRange,
};

// ---- Stream information --------------------------------------------------------------

static const KSPIN_MEDIUM kStandardMedium = {KSMEDIUMSETID_Standard, 0, 0};

static const HW_STREAM_INFORMATION kStreamInformation[kStreamCount] = {{
    1,                                    // NumberOfPossibleInstances
    KSPIN_DATAFLOW_OUT,                   // DataFlow
    TRUE,                                 // DataAccessible
    STREAM_FORMAT_COUNT,                  // NumberOfFormatArrayEntries
    kStreamFormats,                       // StreamFormatsArray
    {nullptr, nullptr, nullptr, nullptr}, // ClassReserved
    0,                                    // NumStreamPropArrayEntries
    nullptr,                              // StreamPropertiesArray
    0,                                    // NumStreamEventArrayEntries
    nullptr,                              // StreamEventsArray
    &PINNAME_VIDEO_CAPTURE,               // Category
    &PINNAME_VIDEO_CAPTURE,               // Name
    1,                                    // MediumsCount
    &kStandardMedium,                     // Mediums
    FALSE,                                // BridgeStream
    {0, 0},
}};

// ---- Topology ------------------------------------------------------------------------

static const GUID kCategories[] = {KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE};

static const KSTOPOLOGY kTopology = {2, kCategories, 0, nullptr, 0, nullptr, nullptr, 0};

// ---- Advertised properties -------------------------------------------------------------

// Brightness, contrast and saturation all run 0 to 10,000 in steps of 100,
// default 5,000.
static const KSPROPERTY_STEPPING_LONG kProcAmpRange = {100, 0, {0, 10000}};
static const LONG kProcAmpDefault = 5000;

static const KSPROPERTY_MEMBERSLIST kProcAmpMembers[] = {
    {{KSPROPERTY_MEMBER_RANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, &kProcAmpRange},
    {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT}, &kProcAmpDefault},
};

static const KSPROPERTY_VALUES kProcAmpValues = {{KSPROPTYPESETID_General, VT_I4, 0}, 2, kProcAmpMembers};

constexpr ULONG kProcAmpBrightness = 0;
constexpr ULONG kProcAmpContrast = 1;
constexpr ULONG kProcAmpSaturation = 3;

#define PROCAMP_ITEM(id)                                                                                     \
    {                                                                                                        \
        id, TRUE, sizeof(KSPROPERTY_VIDEOPROCAMP_S), sizeof(KSPROPERTY_VIDEOPROCAMP_S), TRUE,                \
            &kProcAmpValues, 0, nullptr, nullptr, sizeof(ULONG)                                              \
    }

static const KSPROPERTY_ITEM kProcAmpItems[] = {
    PROCAMP_ITEM(kProcAmpContrast),
    PROCAMP_ITEM(kProcAmpBrightness),
    PROCAMP_ITEM(kProcAmpSaturation),
};

#undef PROCAMP_ITEM

static const KSPROPERTY_SET kPropertySets[kPropertySetCount] = {
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, 3, kProcAmpItems, 0, nullptr},
};

// ---- Per-format lookup tables, indexed by stream x 6 + format index ------------------------

static const ULONG kBitsPerPixel[kTableStreams * STREAM_FORMAT_COUNT] = {
    24, 16, 12, 12, 16, 16, 0, 0, 0, 0, 0, 0,
};

static const ULONG kFourCC[kTableStreams * STREAM_FORMAT_COUNT] = {
    KsFourCC("RGB2"),
    KsFourCC("RGB2"),
    KsFourCC("I420"),
    KsFourCC("YV12"),
    KsFourCC("UYVY"),
    KsFourCC("YUY2"),
    0,
    0,
    0,
    0,
    0,
    0,
};

// ---- Accessors ----------------------------------------------------------------------------

ULONG StreamData_GetStreamCount()
{
    return kStreamCount;
}

ULONG StreamData_GetPropertyTableCount()
{
    return kPropertySetCount;
}

const HW_STREAM_INFORMATION *StreamData_GetStreamDataPtr()
{
    return kStreamInformation;
}

const KSPROPERTY_SET *StreamData_GetPropertyTablePtr()
{
    return kPropertySets;
}

const KSTOPOLOGY *StreamData_GetTopologyPtr()
{
    return &kTopology;
}

ULONG StreamData_GetAllowedInstanceCount(ULONG stream)
{
    if (stream != 0)
        return 0;
    return kStreamInformation[0].NumberOfPossibleInstances;
}

ULONG StreamData_GetBitsPerPixel(ULONG stream, ULONG formatIndex)
{
    if (stream >= kTableStreams || formatIndex >= STREAM_FORMAT_COUNT)
        return 0;
    return kBitsPerPixel[stream * STREAM_FORMAT_COUNT + formatIndex];
}

ULONG StreamData_GetFourCC(ULONG stream, ULONG formatIndex)
{
    if (stream >= kTableStreams || formatIndex >= STREAM_FORMAT_COUNT)
        return 0;
    return kFourCC[stream * STREAM_FORMAT_COUNT + formatIndex];
}
