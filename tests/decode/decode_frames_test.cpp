// Whole frames through FormatStream: every output format and frame kind at
// awkward sizes against the tests' model, streams that depend on the previous
// image, the decimation rules, the fast paths against the reference path and
// the table form of RGB24 without MMX.
#include <cstring>
#include <random>
#include <tuple>

#include "decode/yuv2rgb.h"
#include "tests/decode/stream_test_util.h"

namespace zm4::testing {
using namespace zm4::decode;
namespace {

struct Size {
    uint32_t w, h;
};
const Size kSizes[] = {{8, 4}, {24, 12}, {176, 144}, {352, 288}, {344, 284}};

// The window placed at the far corner of the camera's range when it fits.
EncodeOptions placed(const Size &s, bool far)
{
    EncodeOptions o;
    if (far) {
        o.colStart = static_cast<uint8_t>(44 - s.w / 8);
        o.rowStart = static_cast<uint8_t>(72 - s.h / 4);
    }
    return o;
}

class FrameKinds : public ::testing::TestWithParam<std::tuple<uint32_t, Size>> {};

// Full frames: uncompressed, compressed with changes, unchanged, magic moved.
TEST_P(FrameKinds, FullFrameStreams)
{
    const auto [format, size] = GetParam();
    for (const bool s420 : {false, true}) {
        StreamRun run(format, size.w, size.h, 7);
        EncodeOptions o = placed(size, s420);
        o.subsampling422 = !s420;
        const std::string kind = s420 ? "4:2:0 " : "4:2:2 ";
        Image422 src = randomImage(size.w, size.h, 100);
        run.send(src, o, kind + "uncompressed");
        o.compression = true;
        src = mutate(run.reference(), 40, 101);
        run.send(src, o, kind + "compressed");
        const auto before = run.output();
        const auto same = run.send(run.reference(), o, kind + "all skipped");
        EXPECT_EQ(run.output(), before) << "a frame of skip codes only must leave the image alone";
        EXPECT_TRUE(std::none_of(same.sent.begin(), same.sent.end(), [](uint8_t s) { return s != 0; }));
        o.magicOffset = 10;
        run.send(mutate(run.reference(), 10, 102), o, kind + "magic at 10");
        o.compression = false;
        o.magicOffset = 63;
        run.send(randomImage(size.w, size.h, 103), o, kind + "uncompressed, magic at 63");
        if (HasFailure())
            return;
    }
}

// Decimated frames, then the first full frame: compressed it repeats its even
// rows over the odd ones; uncompressed it is decoded line by line.
TEST_P(FrameKinds, DecimationAndTheFixUp)
{
    const auto [format, size] = GetParam();
    for (const bool s420 : {false, true})
        for (const bool compressedAfter : {true, false}) {
            StreamRun run(format, size.w, size.h, 8);
            EncodeOptions o = placed(size, !s420);
            o.subsampling422 = !s420;
            o.decimation = true;
            const std::string kind = std::string(s420 ? "4:2:0 " : "4:2:2 ") + "decimated";
            run.send(randomImage(size.w, size.h, 200), o, kind + " uncompressed");
            o.compression = true;
            run.send(mutate(run.reference(), 50, 201), o, kind + " compressed");
            o.decimation = false;
            o.compression = compressedAfter;
            run.send(mutate(run.reference(), 50, 202), o, kind + " then full");
            o.compression = true;
            run.send(mutate(run.reference(), 50, 203), o, kind + " then a second full");
            if (HasFailure())
                return;
        }
}

// Only the low byte of the stream's word counts as the previous frame's decimation.
TEST(DecimationWord, LowByteDecidesTheFixUp)
{
    for (const uint16_t word : {uint16_t{0x0100}, uint16_t{0xFF00}, uint16_t{0x0201}, uint16_t{0x0001}}) {
        StreamRun run(ZM4_FORMAT_RGB32, 24, 12, 14);
        run.send(randomImage(24, 12, 310), {}, "first");
        run.state() = word;
        run.model().setPreviousDecimation(static_cast<uint8_t>(word & 0xFF));
        run.send(mutate(run.reference(), 60, 311), kind(false, true, false),
                 "compressed after word " + std::to_string(word));
    }
}

std::string sizeName(const ::testing::TestParamInfo<std::tuple<uint32_t, Size>> &info)
{
    const auto [format, size] = info.param;
    return std::string(formatName(format)) + "_" + std::to_string(size.w) + "x" + std::to_string(size.h);
}

INSTANTIATE_TEST_SUITE_P(AllFormats, FrameKinds,
                         ::testing::Combine(::testing::Values(ZM4_FORMAT_NONE, ZM4_FORMAT_RGB32,
                                                              ZM4_FORMAT_RGB24, ZM4_FORMAT_RGB16,
                                                              ZM4_FORMAT_I420, ZM4_FORMAT_YV12,
                                                              ZM4_FORMAT_YUY2, ZM4_FORMAT_UYVY),
                                            ::testing::ValuesIn(kSizes)),
                         sizeName);

// A skip code of three pixels moves each family by its own rule: RGB32 and
// RGB16 by three pixels, RGB24 by one whole pair, the YUV families by bytes.
TEST(SkipCodes, OddPixelSkipAdvancesEachFamilyByItsRule)
{
    const Image422 black = flatImage(8, 4, 16, 128, 128);
    const auto first = encodeFrame(black, {});
    const uint8_t a[4] = {200, 60, 180, 220};
    const std::vector<uint8_t> row0 = {7, a[0], a[1], a[2], a[3], a[0], a[1], a[2], a[3], 3};
    const auto frame = handFrame(8, 4, true, false, {row0, {0x11}, {0x11}, {0x11}});
    const Bgr c0 = modelConvert(a[0], a[1], a[3], RgbForm::Direct);
    const Bgr c1 = modelConvert(a[2], a[1], a[3], RgbForm::Direct);
    for (const uint32_t format : kAllFormats) {
        SCOPED_TRACE(formatName(format));
        std::vector<uint8_t> out(Decode_ImageBytes(format, 8, 4));
        uint16_t state = 0;
        ASSERT_EQ(decodeInto(format, first, out, 8, 4, state), ZM4_FRAME_OK);
        // Only row 0 changes: rows 1 to 3 are skipped whole (for the planar
        // formats: luma rows 1 to 3 and chroma row 1, which belongs to row 2).
        std::vector<uint8_t> expected = out;
        uint8_t *r0 = expected.data() + ReceiverModel(format, 8, 4, out).rowOffset(0);
        const bool yuy2 = format == ZM4_FORMAT_YUY2, i420 = format == ZM4_FORMAT_I420;
        switch (format) {
        case ZM4_FORMAT_RGB32:
        case ZM4_FORMAT_RGB24:
        case ZM4_FORMAT_RGB16: {
            const size_t bpp = format == ZM4_FORMAT_RGB32 ? 4 : format == ZM4_FORMAT_RGB24 ? 3 : 2;
            const uint32_t from = format == ZM4_FORMAT_RGB24 ? 2 : 3; // RGB24 moves by a whole pair
            for (uint32_t i = 0; i < 4; ++i) {
                const Bgr c = i % 2 ? c1 : c0;
                uint8_t *px = r0 + (from + i) * bpp;
                const uint16_t word = modelPack555(c);
                const uint8_t bytes[3] = {bpp == 2 ? uint8_t(word & 0xFF) : c.b,
                                          bpp == 2 ? uint8_t(word >> 8) : c.g, c.r};
                std::copy_n(bytes, bpp == 2 ? 2 : 3, px);
            }
            break;
        }
        case ZM4_FORMAT_YUY2:
        case ZM4_FORMAT_UYVY:
            for (uint8_t *q : {r0 + 6, r0 + 10}) {
                const uint8_t b[4] = {yuy2 ? a[0] : a[1], yuy2 ? a[1] : a[0], yuy2 ? a[2] : a[3],
                                      yuy2 ? a[3] : a[2]};
                std::copy_n(b, 4, q);
            }
            break;
        default: { // planar: luma moves by three, chroma by one
            const uint8_t luma[4] = {a[0], a[2], a[0], a[2]};
            std::copy_n(luma, 4, r0 + 3);
            expected[(i420 ? 32 : 40) + 1] = expected[(i420 ? 32 : 40) + 2] = a[1];
            expected[(i420 ? 40 : 32) + 1] = expected[(i420 ? 40 : 32) + 2] = a[3];
        }
        }
        ASSERT_EQ(FormatStreamBounded(format, frame.data(), frame.size(), out.data(), 8, 4, &state),
                  ZM4_FRAME_OK);
        EXPECT_EQ(out, expected);
    }
}

// Pairs taking every clamp edge of the colour arithmetic (Y1 = 255 - Y0),
// written over the picture from its first pair on.
Image422 withClampEdges(Image422 image)
{
    const uint8_t edges[] = {0, 1, 15, 16, 17, 127, 128, 129, 235, 236, 254, 255};
    size_t at = 0;
    for (const uint8_t y : edges)
        for (const uint8_t u : edges)
            for (const uint8_t v : edges) {
                if (at + 4 > image.data.size())
                    return image;
                const uint8_t pair[4] = {y, u, static_cast<uint8_t>(255 - y), v};
                std::copy_n(pair, 4, image.data.begin() + at);
                at += 4;
            }
    return image;
}

// Row r changes one run of 1 + r % (pairs - r % 5) pairs from pair r % 5: a
// run of every length a row holds, at shifting offsets, between skip codes.
Image422 runsOfEveryLength(const Image422 &from, uint32_t seed)
{
    Image422 next = from;
    std::mt19937 rng(seed);
    const uint32_t pairs = from.width / 2;
    for (uint32_t r = 0; r < uint32_t(from.height); ++r) {
        const uint32_t first = r % 5 < pairs ? r % 5 : 0;
        const uint32_t length = 1 + r % (pairs - first);
        for (uint32_t p = first; p < first + length; ++p) {
            uint8_t *q = next.row(r) + 4 * p;
            for (int k = 0; k < 4; ++k)
                q[k] = static_cast<uint8_t>(rng() >> 24);
            q[0] = static_cast<uint8_t>(from.row(r)[4 * p] ^ 0x80); // beyond the threshold
        }
    }
    return next;
}

// The one equivalence harness: every frame kind, decoded by the reference
// path and by the fast paths of every instruction-set level the processor
// has, into outputs that must be byte-identical. Uncompressed frames carry
// every clamp edge, whole rows and the 4:2:0 rebuild; compressed ones runs of
// every length (every masked tail, the run search in every step), scattered
// changes, and the decimation fix-up.
TEST(FastPaths, ByteIdenticalToTheReferencePath)
{
    const uint32_t levels = Decode_SupportedIsa() + 1;
    for (const uint32_t format : kAllFormats)
        for (const Size size : {Size{8, 4}, Size{24, 12}, Size{344, 284}}) {
            std::vector<std::vector<uint8_t>> outputs[4];
            for (uint32_t run = 0; run <= levels; ++run) {
                // Run 0: the reference path; run 1 + level: that level's kernels.
                Decode_ForceReferencePath(run == 0);
                Decode_ForceIsa(run == 0 ? Decode_IsaBest : run - 1);
                // Noise again before every frame, and past the image: a kernel that writes
                // outside its run shows in a skipped pair, the next row or the guard bytes.
                const size_t bytes = Decode_ImageBytes(format, size.w, size.h);
                std::vector<uint8_t> out;
                uint16_t state = 0;
                Image422 prev;
                uint32_t seed = 500;
                for (const bool s420 : {false, true})
                    for (const int kind : {0, 1, 5, 2, 3, 4}) {
                        EncodeOptions o;
                        o.subsampling422 = !s420;
                        o.decimation = kind == 2 || kind == 3;
                        o.compression = kind != 0 && kind != 2;
                        o.previous = kind == 0 ? nullptr : &prev;
                        o.skipUnderSentPairs = true;
                        o.threshold = 2;
                        const Image422 src = kind == 0   ? withClampEdges(randomImage(size.w, size.h, seed++))
                                             : kind == 5 ? runsOfEveryLength(prev, seed++)
                                                         : mutate(prev, 30, seed++);
                        const auto f = encodeFrame(src, o);
                        out = noiseBuffer(bytes + 64, seed);
                        EXPECT_EQ(decodeInto(format, f, out, size.w, size.h, state), ZM4_FRAME_OK);
                        prev = f.reference;
                        outputs[run].push_back(out);
                    }
            }
            Decode_ForceReferencePath(0);
            Decode_ForceIsa(Decode_IsaBest);
            for (uint32_t run = 1; run <= levels; ++run)
                for (size_t i = 0; i < outputs[0].size(); ++i)
                    EXPECT_EQ(outputs[0][i], outputs[run][i])
                        << formatName(format) << " " << size.w << "x" << size.h << " level " << run - 1
                        << " frame " << i;
        }
}

// A 4:2:0 odd line that ends before its row does (an uncompressed line of
// half its luma, a compressed one without its trailing skip codes) leaves the
// rest of the row as a skip would: its own luma with the chroma of the new
// row above, as the complete line shows it.
TEST(FinalImages, ShortOddLinesOf420TakeTheNewChromaAbove)
{
    std::mt19937 rng(42);
    const auto line = [&rng](size_t n) {
        std::vector<uint8_t> v(n);
        for (auto &b : v)
            b = static_cast<uint8_t>(rng() & 0xFE); // even: every byte starts a pair, never a code
        return v;
    };
    const auto before = handFrame(16, 4, false, true, {line(32), line(16), line(32), line(16)}, 1);
    const auto row0 = line(32), row1 = line(16), row2 = line(32), row3 = line(16);
    // Row 1 complete: its new luma for four pairs, the luma it had for the rest.
    std::vector<uint8_t> whole(row1.begin(), row1.begin() + 8);
    whole.insert(whole.end(), before.begin() + 64 + 2 + 32 + 1 + 2 + 8,
                 before.begin() + 64 + 2 + 32 + 1 + 2 + 16);
    const auto complete = handFrame(16, 4, false, true, {row0, whole, row2, row3}, 1);
    const std::vector<uint8_t> half(row1.begin(), row1.begin() + 8);
    for (const bool compress : {false, true}) {
        const auto cut = handFrame(16, 4, compress, true, {row0, half, row2, row3}, 1);
        for (const uint32_t format : kAllFormats) {
            std::vector<uint8_t> got = noiseBuffer(Decode_ImageBytes(format, 16, 4), 3), want = got;
            uint16_t state = 0;
            for (auto *out : {&got, &want})
                ASSERT_EQ(
                    FormatStreamBounded(format, before.data(), before.size(), out->data(), 16, 4, &state),
                    ZM4_FRAME_OK);
            ASSERT_EQ(FormatStreamBounded(format, cut.data(), cut.size(), got.data(), 16, 4, &state),
                      ZM4_FRAME_OK);
            ASSERT_EQ(
                FormatStreamBounded(format, complete.data(), complete.size(), want.data(), 16, 4, &state),
                ZM4_FRAME_OK);
            EXPECT_TRUE(got == want) << formatName(format) << (compress ? " compressed" : " uncompressed");
        }
    }
}

TEST(Rgb24WithoutMmx, UsesTheTableForm)
{
    EXPECT_EQ(reinitDecoder(true), 0u);
    EXPECT_EQ(hasmmx, 0u);
    for (const Size size : {Size{24, 12}, Size{176, 144}})
        for (const bool s420 : {false, true}) {
            StreamRun run(ZM4_FORMAT_RGB24, size.w, size.h, 12, RgbForm::Table);
            EncodeOptions o;
            o.subsampling422 = !s420;
            const std::string kind = s420 ? "4:2:0 " : "4:2:2 ";
            run.send(randomImage(size.w, size.h, 600), o, kind + "uncompressed");
            o.compression = true;
            run.send(mutate(run.reference(), 50, 601), o, kind + "compressed");
            o.decimation = true;
            run.send(mutate(run.reference(), 50, 602), o, kind + "decimated");
            // The tables really are in use: a grey pair comes out 19 levels brighter.
            const Image422 grey = flatImage(size.w, size.h, 128, 128, 128);
            o = {};
            run.send(grey, o, "grey");
            EXPECT_EQ(run.output()[0], 152);
        }
    const uint32_t mmx = reinitDecoder(false);
    EXPECT_EQ(mmx, CPUcaps());
    EXPECT_EQ(hasmmx, mmx);
}

} // namespace
} // namespace zm4::testing
