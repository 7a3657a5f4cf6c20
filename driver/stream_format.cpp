// Format matching and data intersection against the six offered data ranges.

#include "driver/stream_format.h"

#include <cstring>

#include "driver/entry.h"
#include "driver/stream_data.h"

// The fixed part of a video information header, before its bitmap header.
constexpr ULONG kVideoInfoFixedBytes = offsetof(KS_VIDEOINFOHEADER, bmiHeader);
static_assert(kVideoInfoFixedBytes == 48);

static const KS_DATARANGE_VIDEO *mRange(const HW_STREAM_INFORMATION *stream, ULONG index)
{
    return reinterpret_cast<const KS_DATARANGE_VIDEO *>(stream->StreamFormatsArray[index]);
}

static ULONG mGUIDsEqual(const GUID &a, const GUID &b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0 ? 1 : 0;
}

// 1 when both name the same major format, subformat and specifier (and, when
// asked, have the same size).
static ULONG mStreamFormat_CompareGUIDsAndFormatSize(const KSDATARANGE *a, const KSDATARANGE *b,
                                                     ULONG compareSize)
{
    if (!mGUIDsEqual(a->MajorFormat, b->MajorFormat) || !mGUIDsEqual(a->SubFormat, b->SubFormat) ||
        !mGUIDsEqual(a->Specifier, b->Specifier))
        return 0;
    if (compareSize != 0 && a->FormatSize != b->FormatSize)
        return 0;
    return 1;
}

// Size limits, granularity and compression of a video format against a range.
static ULONG mStreamFormat_VideoFits(const KS_BITMAPINFOHEADER &bmi, const KS_DATARANGE_VIDEO *range)
{
    const KS_VIDEO_STREAM_CONFIG_CAPS &caps = range->ConfigCaps;
    const KS_BITMAPINFOHEADER &offered = range->VideoInfoHeader.bmiHeader;
    if (bmi.biWidth < caps.MinOutputSize.cx || bmi.biWidth > caps.MaxOutputSize.cx)
        return 0;
    // A negative (top-down) height falls below the minimum: refused.
    if (bmi.biHeight < caps.MinOutputSize.cy || bmi.biHeight > caps.MaxOutputSize.cy)
        return 0;
    if (bmi.biWidth % caps.OutputGranularityX != 0 || bmi.biHeight % caps.OutputGranularityY != 0)
        return 0;
    if (bmi.biCompression != offered.biCompression)
        return 0;
    if (bmi.biCompression == KS_BI_RGB && bmi.biBitCount != offered.biBitCount)
        return 0;
    return 1;
}

ULONG StreamFormat_GetFormatIndex(const KSDATAFORMAT *format, ULONG stream, ULONG *index)
{
    if (format == nullptr || stream >= StreamData_GetStreamCount())
        return 0;
    const HW_STREAM_INFORMATION *info = StreamData_GetStreamDataPtr() + stream;
    for (ULONG i = 0; i < info->NumberOfFormatArrayEntries; ++i) {
        const KS_DATARANGE_VIDEO *range = mRange(info, i);
        if (mStreamFormat_CompareGUIDsAndFormatSize(format, &range->DataRange, 0) == 0)
            continue;
        if (mGUIDsEqual(format->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO)) {
            // The video header follows the data format; a format too short to
            // carry it cannot be checked against the range and matches nothing.
            if (format->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER))
                continue;
            const auto *video = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER *>(format);
            if (mStreamFormat_VideoFits(video->VideoInfoHeader.bmiHeader, range) == 0)
                continue;
        }
        *index = i;
        return 1;
    }
    return 0;
}

// The first range whose GUIDs, size, sample flags and capabilities are exactly
// the caller's; STATUS_NO_MATCH also when a matching range is not a video info one.
static NTSTATUS mStreamFormat_FindRange(const KSDATARANGE *callerRange, ULONG stream)
{
    const HW_STREAM_INFORMATION *info = StreamData_GetStreamDataPtr() + stream;
    for (ULONG i = 0; i < info->NumberOfFormatArrayEntries; ++i) {
        const KS_DATARANGE_VIDEO *range = mRange(info, i);
        if (mStreamFormat_CompareGUIDsAndFormatSize(callerRange, &range->DataRange, 1) == 0)
            continue;
        if (!mGUIDsEqual(callerRange->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO))
            return STATUS_NO_MATCH;
        // Same size as our range: the caller's is a whole KS_DATARANGE_VIDEO.
        const auto *caller = reinterpret_cast<const KS_DATARANGE_VIDEO *>(callerRange);
        if (caller->bFixedSizeSamples == range->bFixedSizeSamples &&
            caller->bTemporalCompression == range->bTemporalCompression &&
            caller->StreamDescriptionFlags == range->StreamDescriptionFlags &&
            caller->MemoryAllocationFlags == range->MemoryAllocationFlags &&
            std::memcmp(&caller->ConfigCaps, &range->ConfigCaps, sizeof(KS_VIDEO_STREAM_CONFIG_CAPS)) == 0)
            return STATUS_SUCCESS;
    }
    return STATUS_NO_MATCH;
}

NTSTATUS StreamFormat_GetFormatFromRange(const STREAM_DATA_INTERSECT_INFO *info, ULONG *byteCount)
{
    if (info == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (info->StreamNumber >= StreamData_GetStreamCount())
        return STATUS_TOO_MANY_NODES;
    *byteCount = 0;
    const KSDATARANGE *callerRange = info->DataRange;
    if (callerRange == nullptr)
        return STATUS_NO_MATCH;
    NTSTATUS status = mStreamFormat_FindRange(callerRange, info->StreamNumber);
    if (!NT_SUCCESS(status))
        return status;

    const auto *caller = reinterpret_cast<const KS_DATARANGE_VIDEO *>(callerRange);
    const KS_BITMAPINFOHEADER &bmi = caller->VideoInfoHeader.bmiHeader;
    // The bitmap header is copied biSize bytes long: it must be at least the
    // published header and lie wholly inside the caller's range.
    constexpr ULONG kBitmapOffset = offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader.bmiHeader);
    const ULONG bitmapRoom = callerRange->FormatSize - kBitmapOffset;
    if (bmi.biSize < sizeof(KS_BITMAPINFOHEADER) || bmi.biSize > bitmapRoom)
        return STATUS_NO_MATCH;
    const ULONG formatSize = ULONG{sizeof(KSDATAFORMAT)} + kVideoInfoFixedBytes + bmi.biSize;

    if (info->DataFormatBuffer == nullptr)
        return STATUS_BUFFER_TOO_SMALL;
    if (info->SizeOfDataFormatBuffer == sizeof(ULONG)) {
        // The caller only asks how large the format will be.
        ULONG size = formatSize;
        std::memcpy(info->DataFormatBuffer, &size, sizeof(size));
        *byteCount = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    if (info->SizeOfDataFormatBuffer < formatSize)
        return STATUS_BUFFER_TOO_SMALL;

    // Image size: rows padded to 4 bytes, either picture orientation. A negative
    // width, or a picture too large for a 32-bit size, describes no buffer. The
    // row (below 2^45 bytes) and the line count (at most 2^31) are checked
    // against each other before they are multiplied.
    if (bmi.biWidth < 0)
        return STATUS_NO_MATCH;
    const ULONGLONG stride =
        ((ULONGLONG{bmi.biBitCount} * static_cast<ULONGLONG>(bmi.biWidth) + 31) / 8) & ~ULONGLONG{3};
    const ULONGLONG height = bmi.biHeight < 0 ? ULONGLONG{0} - static_cast<ULONGLONG>(LONGLONG{bmi.biHeight})
                                              : static_cast<ULONGLONG>(bmi.biHeight);
    if (height != 0 && stride > 0xFFFFFFFFULL / height)
        return STATUS_NO_MATCH;
    const ULONGLONG imageSize = stride * height;

    auto *out = static_cast<UCHAR *>(info->DataFormatBuffer);
    std::memcpy(out, callerRange, sizeof(KSDATAFORMAT));
    std::memcpy(out + sizeof(KSDATAFORMAT), &caller->VideoInfoHeader, kVideoInfoFixedBytes + bmi.biSize);
    auto *format = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER *>(out);
    format->DataFormat.FormatSize = formatSize;
    format->DataFormat.SampleSize = static_cast<ULONG>(imageSize);
    format->VideoInfoHeader.bmiHeader.biSizeImage = static_cast<ULONG>(imageSize);
    *byteCount = formatSize;
    return STATUS_SUCCESS;
}

void Stream_GetDataIntersection(HW_STREAM_REQUEST_BLOCK *srb)
{
    srb->Status =
        StreamFormat_GetFormatFromRange(srb->CommandData.IntersectInfo, &srb->ActualBytesTransferred);
    Entry_CompleteDeviceSRB(srb);
}
