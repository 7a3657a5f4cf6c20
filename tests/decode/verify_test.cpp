// Frame verification: what VerifyStream accepts, and the status and details it
// reports for each fault; the FourCC table; the wire layout of known frames.
#include <cstring>
#include <tuple>

#include "tests/decode/decode_env.h"

namespace zm4::testing {
namespace {

struct Verified {
    uint32_t status;
    FrameHeaderInfo info;
    StreamErrorDetails details;
};

Verified verify(const std::vector<uint8_t> &bytes, size_t from = 0)
{
    Verified v{};
    std::memset(&v.details, 0xA5, sizeof v.details); // must be zeroed by the call
    v.status = VerifyStreamBounded(bytes.data() + from, bytes.size() - from, &v.info, &v.details);
    return v;
}

// The unbounded form over the same bytes, padded to the reach it is allowed.
Verified verifyUnbounded(const std::vector<uint8_t> &bytes)
{
    std::vector<uint8_t> padded(bytes);
    padded.resize(ZM4_MAX_STREAM_BYTES, 0);
    Verified v{};
    v.status = VerifyStream(padded.data(), &v.info, &v.details);
    return v;
}

void expectDetails(const Verified &v, uint32_t code, uint16_t line, uint32_t length, uint32_t offset)
{
    EXPECT_EQ(v.status, code);
    EXPECT_EQ(v.details.code, code);
    EXPECT_EQ(v.details.line, line);
    EXPECT_EQ(v.details.length, length);
    EXPECT_EQ(v.details.offset, offset);
}

EncodedFrame frameOf(uint32_t w, uint32_t h, EncodeOptions o = {}, uint32_t seed = 1)
{
    return encodeFrame(randomImage(w, h, seed), o);
}

TEST(VerifyStream, GoodFramesOfEveryKindPassAndFillTheHeaderInfo)
{
    for (const bool dec : {false, true})
        for (const bool s420 : {false, true})
            for (const bool comp : {false, true}) {
                EncodeOptions o = kind(s420, comp, dec);
                o.colStart = 3;
                o.rowStart = 5;
                o.videoSize = 0;
                o.yuvOrder = 1;
                o.cameraValues = {0x1E, 0xF1, 0x27, 0x82, 0x29};
                o.headerOverrides = {{0x05, 0x77}, {0x3F, 0x99}}; // uninterpreted bytes
                const auto f = frameOf(176, 144, o);
                SCOPED_TRACE(::testing::Message() << "dec " << dec << " 420 " << s420 << " comp " << comp);
                const auto v = verify(f.bytes);
                expectDetails(v, ZM4_FRAME_OK, 0, 0, 0);
                const auto &i = v.info;
                EXPECT_EQ((std::vector<int>{i.compression, i.decimation, i.subsampling, i.videoSize,
                                            i.yuvOrder, i.colStart, i.colEnd, i.rowStart, i.rowEnd, i.byte1E,
                                            i.byte1F, i.byte27, i.byte28, i.byte29}),
                          (std::vector<int>{comp, dec, !s420, 0, 1, 48, (3 + 22) * 16, 20, 20 + 144, 0x1E,
                                            0xF1, 0x27, 0x82, 0x29}));
                EXPECT_EQ(0, std::memcmp(v.info.rawHeader, f.bytes.data(), 64));
                EXPECT_EQ(verifyUnbounded(f.bytes).status, ZM4_FRAME_OK);
            }
}

TEST(VerifyStream, MagicPosition)
{
    for (uint32_t k : {1u, 2u, 10u, 62u, 63u}) {
        const auto f = frameOf(24, 12, kind(false, false, false, k));
        expectDetails(verify(f.bytes), ZM4_FRAME_MAGIC_MOVED, 0, 0, k);
        // The retry at the reported position accepts the frame.
        expectDetails(verify(f.bytes, k), ZM4_FRAME_OK, 0, 0, 0);
    }
    const auto f = frameOf(24, 12, kind(false, false, false, 64));
    expectDetails(verify(f.bytes), ZM4_FRAME_BAD_HEADER, 0, 0, 64);
    // A lone first magic byte is not the magic.
    auto half = frameOf(24, 12).bytes;
    half[1] = 0x67;
    expectDetails(verify(half), ZM4_FRAME_BAD_HEADER, 0, 0, 64);
}

TEST(VerifyStream, HeaderFieldsOutOfRange)
{
    const auto good = frameOf(8, 4).bytes;
    // The last two are the limits themselves: valid (the frame then fails later or not at all).
    const std::tuple<uint8_t, uint8_t, bool> cases[] = {
        {0x1C, 2, false},    {0x1D, 2, false},    {0x10, 2, false},  {0x11, 2, false},  {0x12, 2, false},
        {0x1C, 0xFF, false}, {0x18, 45, false},   {0x19, 45, false}, {0x1A, 73, false}, {0x1B, 73, false},
        {0x18, 0xFF, false}, {0x1B, 0xFF, false}, {0x18, 44, true},  {0x1A, 72, true}};
    for (auto [offset, value, inRange] : cases) {
        SCOPED_TRACE(::testing::Message() << "byte " << int(offset) << " = " << int(value));
        auto bytes = good;
        bytes[offset] = value;
        const auto v = verify(bytes);
        if (inRange)
            EXPECT_NE(v.status, ZM4_FRAME_BAD_HEADER);
        else
            expectDetails(v, ZM4_FRAME_BAD_HEADER, 0, 0, 0);
    }
}

TEST(VerifyStream, EmptyWindowsAndReversedWindows)
{
    // First and end rows equal: no line records, the end marker follows the header.
    for (const uint8_t row : {uint8_t{0}, uint8_t{10}, uint8_t{72}}) {
        auto bytes = handFrame(352, 0, false, false, {});
        bytes[0x1A] = bytes[0x1B] = row;
        expectDetails(verify(bytes), ZM4_FRAME_OK, 0, 0, 0);
        bytes.back() = 0x00;
        expectDetails(verify(bytes), ZM4_FRAME_NO_END_OF_FRAME, static_cast<uint16_t>(row * 4), 0, 64);
    }
    // Start after end: no line is walked at all.
    auto rows = frameOf(8, 4).bytes;
    rows[0x1A] = 3;
    rows[0x1B] = 2;
    rows.resize(64);
    rows.insert(rows.end(), 4, 0xFF);
    expectDetails(verify(rows), ZM4_FRAME_OK, 0, 0, 0);
    // Columns reversed: the maximum line length is negative, so any line fails.
    auto cols = frameOf(8, 4).bytes;
    cols[0x18] = 2;
    cols[0x19] = 1;
    expectDetails(verify(cols), ZM4_FRAME_BAD_LINE_LENGTH, 0, 17, 66);
}

TEST(VerifyStream, LineLengthLimitOfTheLargestFrame)
{
    const auto f = frameOf(352, 288);
    ASSERT_EQ(f.bytes.size(), ZM4_MAX_FRAME_BYTES);
    EXPECT_EQ(verifyUnbounded(f.bytes).status, ZM4_FRAME_OK);
    ASSERT_EQ(f.bytes[64] | (f.bytes[65] << 8), 705);

    // 706 on the first line, with a 0xFD where it would end.
    auto bytes = f.bytes;
    bytes[64] = 706 & 0xFF;
    bytes[66 + 705] = 0xFD;
    expectDetails(verify(bytes), ZM4_FRAME_BAD_LINE_LENGTH, 0, 706, 66);

    // On line record 100 of a frame whose window starts at row 8 (header byte 2).
    EncodeOptions o;
    o.rowStart = 2;
    o.fault = {WireFault::LineLength, 100, 1};
    const auto g = frameOf(352, 280, o);
    expectDetails(verify(g.bytes), ZM4_FRAME_BAD_LINE_LENGTH, 108, 706, 64 + 100 * 707 + 2);
}

TEST(VerifyStream, MissingEndOfLine)
{
    // L = 0: the byte before the data (the high length byte) is taken as the marker.
    auto zero = frameOf(8, 4).bytes;
    zero[64] = 0;
    expectDetails(verify(zero), ZM4_FRAME_NO_END_OF_LINE, 0, 0, 65);

    for (const bool dec : {false, true}) {
        EncodeOptions o;
        o.decimation = dec;
        o.rowStart = 1;
        o.fault = {WireFault::NoEndOfLine, 2, 0x00};
        const auto f = frameOf(24, 12, o);
        const uint16_t line = static_cast<uint16_t>(4 + (dec ? 4 : 2));
        const uint32_t marker = 64 + 2 * 51 + 2 + 48;
        expectDetails(verify(f.bytes), ZM4_FRAME_NO_END_OF_LINE, line, 49, marker);
    }

    // A line one byte shorter than its data ends on a pixel byte.
    EncodeOptions shorter;
    shorter.fault = {WireFault::LineLength, 0, -1};
    auto f = frameOf(8, 4, shorter);
    f.bytes[64 + 2 + 15] = 0x10;
    expectDetails(verify(f.bytes), ZM4_FRAME_NO_END_OF_LINE, 0, 16, 66 + 15);
}

TEST(VerifyStream, EndOfFrameMarker)
{
    for (const bool dec : {false, true}) {
        // 4:2:2 needs all four 0xFF bytes.
        for (int present = 0; present < 4; ++present) {
            EncodeOptions o;
            o.decimation = dec;
            o.fault = {WireFault::EndOfFrame, 0, present};
            const auto f = frameOf(24, 12, o);
            auto bytes = f.bytes;
            bytes.insert(bytes.end(), 4, 0x00);
            expectDetails(verify(bytes), ZM4_FRAME_NO_END_OF_FRAME, 12, 49,
                          static_cast<uint32_t>(f.linesEnd));
        }
        // 4:2:0 needs one; its last line is an odd, luma-only line unless decimated.
        auto f = frameOf(24, 12, kind(true, false, dec));
        expectDetails(verify(f.bytes), ZM4_FRAME_OK, 0, 0, 0);
        f.bytes.back() = 0xFE;
        expectDetails(verify(f.bytes), ZM4_FRAME_NO_END_OF_FRAME, 12, dec ? 49 : 25,
                      static_cast<uint32_t>(f.linesEnd));
    }
}

TEST(FormatToSupplyFourCC, WholeTable)
{
    const auto fourcc = [](const char *s) {
        uint32_t code;
        std::memcpy(&code, s, 4);
        return code;
    };
    // RGB by bit count, for FourCC 0 and "RGB2"; every other bit count is unsupported.
    const uint16_t bitCounts[] = {0, 1, 8, 15, 16, 17, 24, 25, 32, 33, 0xFFFF};
    const uint32_t rgb[] = {0, 0, 0, 0, ZM4_FORMAT_RGB16, 0, ZM4_FORMAT_RGB24, 0, ZM4_FORMAT_RGB32, 0, 0};
    for (const uint32_t code : {0u, fourcc("RGB2")})
        for (size_t i = 0; i < std::size(bitCounts); ++i)
            EXPECT_EQ(FormatToSupplyFourCC(code, bitCounts[i]), rgb[i]) << code << " " << bitCounts[i];
    // The YUV FourCCs whatever the bit count; near misses (byte order
    // reversed, lower case, other codes) unsupported.
    const char codes[] = "I420IYUVYV12YUY2UYVYYVU92YUYyuy2NV12RGB1\x01\0\0\0\xFF\xFF\xFF\xFF";
    const uint32_t yuv[] = {ZM4_FORMAT_I420, ZM4_FORMAT_I420, ZM4_FORMAT_YV12, ZM4_FORMAT_YUY2,
                            ZM4_FORMAT_UYVY};
    for (const uint16_t bits : bitCounts)
        for (size_t i = 0; i < (sizeof codes - 1) / 4; ++i)
            EXPECT_EQ(FormatToSupplyFourCC(fourcc(codes + 4 * i), bits), i < 5 ? yuv[i] : 0u)
                << i << " " << bits;
}

} // namespace
} // namespace zm4::testing
