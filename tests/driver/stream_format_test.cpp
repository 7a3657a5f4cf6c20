// What the driver offers and how it matches formats: the six data ranges
// against the rule their numbers follow, every accepted and refused format,
// and the data intersection through the port library in all its branches.
#include <cstring>

#include "decode/zm4decode.h"
#include "driver/stream_data.h"
#include "driver/stream_format.h"
#include "port_env.h"

namespace {

const KS_DATARANGE_VIDEO &range(ULONG index)
{
    return *reinterpret_cast<const KS_DATARANGE_VIDEO *>(
        StreamData_GetStreamDataPtr()->StreamFormatsArray[index]);
}

struct Offered {
    GUID subFormat;
    ULONG compression;
    LONG maxWidth;
    LONG maxHeight;
    uint32_t decoderFormat;
};

const Offered kOffered[STREAM_FORMAT_COUNT] = {
    {MEDIASUBTYPE_RGB24, 0, 704, 576, ZM4_FORMAT_RGB24},
    {MEDIASUBTYPE_RGB555, 0, 352, 288, ZM4_FORMAT_RGB16},
    {KsFourCCSubtype(KsFourCC("I420")), KsFourCC("I420"), 352, 288, ZM4_FORMAT_I420},
    {KsFourCCSubtype(KsFourCC("YV12")), KsFourCC("YV12"), 352, 288, ZM4_FORMAT_YV12},
    {KsFourCCSubtype(KsFourCC("UYVY")), KsFourCC("UYVY"), 352, 288, ZM4_FORMAT_UYVY},
    {KsFourCCSubtype(KsFourCC("YUY2")), KsFourCC("YUY2"), 352, 288, ZM4_FORMAT_YUY2},
};

TEST(StreamDataTables, RangesFollowTheirRuleAndSelectTheDecodersWriter)
{
    for (ULONG i = 0; i < STREAM_FORMAT_COUNT; ++i) {
        SCOPED_TRACE(i);
        const KS_DATARANGE_VIDEO &r = range(i);
        const Offered &o = kOffered[i];
        const ULONG bits = r.VideoInfoHeader.bmiHeader.biBitCount;
        EXPECT_EQ(bits, StreamData_GetBitsPerPixel(0, i));
        EXPECT_EQ(std::memcmp(&r.DataRange.SubFormat, &o.subFormat, sizeof(GUID)), 0);
        EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biCompression, o.compression);
        EXPECT_EQ(r.DataRange.FormatSize, 296u);
        EXPECT_EQ(r.ConfigCaps.MaxOutputSize.cx, o.maxWidth);
        EXPECT_EQ(r.ConfigCaps.MaxOutputSize.cy, o.maxHeight);
        EXPECT_EQ(r.ConfigCaps.InputSize.cx, o.maxWidth);
        EXPECT_EQ(r.ConfigCaps.MaxCroppingSize.cy, o.maxHeight);
        EXPECT_EQ(r.ConfigCaps.MinCroppingSize.cx * 10 + r.ConfigCaps.MinCroppingSize.cy, 84); // 8 x 4
        const ULONG largest = static_cast<ULONG>(o.maxWidth * o.maxHeight);
        EXPECT_EQ(r.DataRange.SampleSize, largest * bits / 8);
        EXPECT_EQ(static_cast<ULONG>(r.ConfigCaps.MinBitsPerSecond), 8 * 4 * bits);
        EXPECT_EQ(static_cast<ULONG>(r.ConfigCaps.MaxBitsPerSecond), largest * bits * 30);
        EXPECT_EQ(r.VideoInfoHeader.dwBitRate, 176u * 144 * bits * 30);
        EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biSizeImage, 176u * 144 * bits / 8);
        EXPECT_EQ(FormatToSupplyFourCC(StreamData_GetFourCC(0, i), static_cast<uint16_t>(bits)),
                  o.decoderFormat);
    }
    EXPECT_EQ(StreamData_GetBitsPerPixel(0, STREAM_FORMAT_COUNT), 0u);
}

KS_DATAFORMAT_VIDEOINFOHEADER videoFormat(ULONG index, LONG width, LONG height)
{
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    format.DataFormat = range(index).DataRange;
    format.DataFormat.FormatSize = sizeof(format);
    format.VideoInfoHeader = range(index).VideoInfoHeader;
    format.VideoInfoHeader.bmiHeader.biWidth = width;
    format.VideoInfoHeader.bmiHeader.biHeight = height;
    return format;
}

TEST(StreamFormat, AcceptsSizesInStepsWithinEachRangeOnlyAndRefusesOtherFormats)
{
    constexpr int kNone = -1;
    const struct {
        ULONG base;
        LONG width, height;
        int expected;
    } cases[] = {
        {STREAM_FORMAT_I420, 320, 240, 2},       {STREAM_FORMAT_I420, 321, 240, kNone},
        {STREAM_FORMAT_I420, 360, 240, kNone},   {STREAM_FORMAT_I420, 320, 242, kNone},
        {STREAM_FORMAT_RGB24, 704, 576, 0},      {STREAM_FORMAT_UYVY, 704, 576, kNone},
        {STREAM_FORMAT_RGB24, 8, 4, 0},          {STREAM_FORMAT_RGB24, 0, 4, kNone},
        {STREAM_FORMAT_RGB24, 352, -288, kNone}, {STREAM_FORMAT_RGB555, 176, 144, 1},
        {STREAM_FORMAT_YV12, 352, 288, 3},       {STREAM_FORMAT_YUY2, 352, 288, 5},
        {STREAM_FORMAT_UYVY, 8, 288, 4},         {STREAM_FORMAT_YUY2, 352, 292, kNone},
    };
    for (const auto &c : cases) {
        KS_DATAFORMAT_VIDEOINFOHEADER format = videoFormat(c.base, c.width, c.height);
        ULONG index = 99;
        const ULONG found = StreamFormat_GetFormatIndex(&format.DataFormat, 0, &index);
        EXPECT_EQ(found == 1 ? static_cast<int>(index) : kNone, c.expected)
            << c.base << " " << c.width << "x" << c.height;
    }

    // Refused: wrong bits, wrong compression code, a truncated format, stream 1.
    KS_DATAFORMAT_VIDEOINFOHEADER rgb16 = videoFormat(STREAM_FORMAT_RGB24, 176, 144);
    rgb16.VideoInfoHeader.bmiHeader.biBitCount = 16;
    KS_DATAFORMAT_VIDEOINFOHEADER wrongCode = videoFormat(STREAM_FORMAT_UYVY, 176, 144);
    wrongCode.VideoInfoHeader.bmiHeader.biCompression = KsFourCC("YUY2");
    KS_DATAFORMAT_VIDEOINFOHEADER truncated = videoFormat(STREAM_FORMAT_I420, 176, 144);
    truncated.DataFormat.FormatSize = sizeof(KSDATAFORMAT);
    ULONG index = 0;
    EXPECT_EQ(StreamFormat_GetFormatIndex(&rgb16.DataFormat, 0, &index), 0u);
    EXPECT_EQ(StreamFormat_GetFormatIndex(&wrongCode.DataFormat, 0, &index), 0u);
    EXPECT_EQ(StreamFormat_GetFormatIndex(&truncated.DataFormat, 0, &index), 0u);
    KS_DATAFORMAT_VIDEOINFOHEADER good = videoFormat(STREAM_FORMAT_I420, 176, 144);
    EXPECT_EQ(StreamFormat_GetFormatIndex(&good.DataFormat, 1, &index), 0u);
}

using DataIntersection = MachineTest;

TEST_F(DataIntersection, AnswersEveryBranch)
{
    const ULONG kSize = 152; // 64 + 48 + a 40-byte bitmap header
    KS_DATARANGE_VIDEO rgb = range(STREAM_FORMAT_RGB24);
    KS_DATARANGE_VIDEO otherCaps = rgb;
    otherCaps.ConfigCaps.MaxOutputSize.cx = 352;
    KS_DATARANGE_VIDEO otherFlags = rgb;
    otherFlags.StreamDescriptionFlags = KS_VIDEOSTREAM_PREVIEW;
    KS_DATARANGE_VIDEO longHeader = rgb;
    longHeader.VideoInfoHeader.bmiHeader.biSize = 44;
    KS_DATARANGE_VIDEO mirrored = rgb;
    mirrored.VideoInfoHeader.bmiHeader.biWidth = -176;
    KS_DATARANGE_VIDEO huge = rgb; // its image size overflows even 64 bits
    huge.VideoInfoHeader.bmiHeader.biWidth = 0x7FFFFFF8;
    huge.VideoInfoHeader.bmiHeader.biHeight = -0x7FFFFFFC;
    std::vector<uint8_t> bigger(sizeof(rgb) + 4, 0);
    std::memcpy(bigger.data(), &rgb, sizeof(rgb));
    reinterpret_cast<KSDATARANGE *>(bigger.data())->FormatSize = static_cast<ULONG>(bigger.size());

    const struct {
        const char *name;
        const void *range;
        size_t bytes;
        ULONG stream, buffer;
        NTSTATUS status;
        ULONG transferred;
    } cases[] = {
        {"size query", &rgb, sizeof(rgb), 0, 4, STATUS_SUCCESS, 4},
        {"stream 1", &rgb, sizeof(rgb), 1, 512, STATUS_TOO_MANY_NODES, 0},
        {"buffer too small", &rgb, sizeof(rgb), 0, kSize - 1, STATUS_BUFFER_TOO_SMALL, 0},
        {"capabilities differ", &otherCaps, sizeof(rgb), 0, 512, STATUS_NO_MATCH, 0},
        {"flags differ", &otherFlags, sizeof(rgb), 0, 512, STATUS_NO_MATCH, 0},
        {"range size differs", bigger.data(), bigger.size(), 0, 512, STATUS_NO_MATCH, 0},
        {"header beyond the range", &longHeader, sizeof(rgb), 0, 512, STATUS_NO_MATCH, 0},
        {"negative width", &mirrored, sizeof(rgb), 0, 512, STATUS_NO_MATCH, 0},
        {"picture beyond a 32-bit size", &huge, sizeof(rgb), 0, 512, STATUS_NO_MATCH, 0},
        {"built", &rgb, sizeof(rgb), 0, 512, STATUS_SUCCESS, kSize},
    };
    for (const auto &c : cases) {
        zm4::host::IntersectionResult r = adapter().dataIntersection(c.stream, c.range, c.bytes, c.buffer);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.bytes, c.transferred) << c.name;
    }
    ULONG size = 0;
    zm4::host::IntersectionResult query = adapter().dataIntersection(0, &rgb, sizeof(rgb), 4);
    ASSERT_EQ(query.format.size(), 4u);
    std::memcpy(&size, query.format.data(), 4);
    EXPECT_EQ(size, kSize);

    // Built: the caller's size and frame time, the image size recomputed.
    const struct {
        ULONG index;
        LONG width, height;
        ULONG imageSize;
    } built[] = {{STREAM_FORMAT_RGB24, 176, 144, 76032}, {STREAM_FORMAT_RGB24, 352, -288, 304128},
                 {STREAM_FORMAT_I420, 320, 240, 115200}, {STREAM_FORMAT_RGB555, 8, 4, 64},
                 {STREAM_FORMAT_RGB24, 176, 0, 0},       {STREAM_FORMAT_RGB24, 0, 144, 0}};
    for (const auto &c : built) {
        KS_DATARANGE_VIDEO caller = range(c.index);
        caller.VideoInfoHeader.bmiHeader.biWidth = c.width;
        caller.VideoInfoHeader.bmiHeader.biHeight = c.height;
        caller.VideoInfoHeader.AvgTimePerFrame = 666666;
        zm4::host::IntersectionResult r = adapter().dataIntersection(0, &caller, sizeof(caller), 1024);
        ASSERT_EQ(r.format.size(), sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
        KS_DATAFORMAT_VIDEOINFOHEADER format;
        std::memcpy(&format, r.format.data(), sizeof(format));
        EXPECT_EQ(format.DataFormat.FormatSize, kSize);
        EXPECT_EQ(format.DataFormat.SampleSize, c.imageSize);
        EXPECT_EQ(format.VideoInfoHeader.bmiHeader.biSizeImage, c.imageSize);
        EXPECT_TRUE(IsEqualGUID(format.DataFormat.SubFormat, caller.DataRange.SubFormat));
        EXPECT_EQ(format.VideoInfoHeader.AvgTimePerFrame, 666666);
        EXPECT_EQ(format.VideoInfoHeader.bmiHeader.biHeight, c.height);
        ULONG index = 99;
        const bool usable = c.width > 0 && c.height > 0;
        EXPECT_EQ(StreamFormat_GetFormatIndex(&format.DataFormat, 0, &index), usable ? 1u : 0u);
        EXPECT_EQ(index, usable ? c.index : 99u);
    }
}

} // namespace
