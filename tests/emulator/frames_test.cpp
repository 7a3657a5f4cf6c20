// Frames from the emulated camera, checked against the wire format directly
// and through the project's decoder: every window size, compression,
// decimation, subsampling and YUV order decodes to what the camera believes
// the host shows.

#include <gtest/gtest.h>

#include <cstring>

#include "decode/zm4decode.h"
#include "tests/emulator/emu_test_util.h"

namespace zm4::emu::test {
namespace {

// ------------------------------------------------------------------------
// The encoder on its own

Image422 flatImage(int w, int h, uint8_t y, uint8_t u, uint8_t v)
{
    Image422 image(w, h);
    for (size_t i = 0; i < image.data.size(); i += 4) {
        image.data[i] = y;
        image.data[i + 1] = u;
        image.data[i + 2] = y;
        image.data[i + 3] = v;
    }
    return image;
}

FrameParams smallWindow()
{
    FrameParams p;
    p.colStart = 0;
    p.colEnd = 1;
    p.rowStart = 0;
    p.rowEnd = 1;
    return p;
}

TEST(FrameEncoder, SkipsFollowTheThresholdAndLongRunsSplit)
{
    FrameEncoder encoder;
    FrameParams p; // 352 x 288 window
    p.compression = true;
    p.threshold = 3;
    Image422 image = flatImage(352, 288, 100, 128, 128);
    encoder.encode(image, p);

    image.row(0)[0] = 103;          // within the threshold
    image.row(1)[4 * 10 + 1] = 132; // beyond it
    const std::vector<uint8_t> f = encoder.encode(image, p);
    // Row 0: 176 unchanged pairs = 62 + 62 + 52.
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + 64, f.begin() + 70),
              (std::vector<uint8_t>{0x04, 0x00, 0xF9, 0xF9, 0xD1, 0xFD}));
    // Row 1: 10 skipped pairs, the changed pair, 165 skipped.
    const uint8_t *row1 = f.data() + 70;
    EXPECT_EQ(row1[0] | row1[1] << 8, 1 + 4 + 1 + 2 + 1);
    EXPECT_EQ(
        std::vector<uint8_t>(row1 + 2, row1 + 11),
        (std::vector<uint8_t>{1 + 4 * 10, 100, 132, 100, 128, 1 + 4 * 62, 1 + 4 * 62, 1 + 4 * 41, 0xFD}));
    // The hidden change stays hidden: the reference keeps the old value.
    EXPECT_EQ(encoder.reference().row(0)[0], 100);
    EXPECT_EQ(encoder.reference().row(1)[41], 132);
}

TEST(FrameEncoder, CompressedPairsStartEvenAndYuvOrderSwapsChroma)
{
    FrameEncoder encoder;
    FrameParams p = smallWindow();
    p.compression = true;
    p.yuvOrder = 1;
    const std::vector<uint8_t> f = encoder.encode(flatImage(352, 288, 0x51, 0x60, 0x70), p);
    EXPECT_EQ(f[0x12], 1);
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + 66, f.begin() + 70),
              (std::vector<uint8_t>{0x50, 0x70, 0x51, 0x60}));
}

// ------------------------------------------------------------------------
// Camera frames through the decoder

struct FrameCase {
    uint8_t videoSize;
    std::array<uint8_t, 4> roi;
    bool subsampling422;
    bool compression;
    bool decimation;
    uint8_t yuvOrder;
};

std::string caseName(const ::testing::TestParamInfo<FrameCase> &info)
{
    const FrameCase &c = info.param;
    return std::string(c.videoSize ? "Cif" : "Qcif") + "_" + std::to_string(c.roi[0]) + "_" +
           std::to_string(c.roi[1]) + "_" + std::to_string(c.roi[2]) + "_" + std::to_string(c.roi[3]) +
           (c.subsampling422 ? "_422" : "_420") + (c.compression ? "_Comp" : "_Raw") +
           (c.decimation ? "_Dec" : "") + (c.yuvOrder ? "_Swapped" : "");
}

std::vector<FrameCase> allCases()
{
    std::vector<FrameCase> cases;
    const std::pair<uint8_t, std::array<uint8_t, 4>> windows[] = {
        {1, {0, 44, 0, 72}}, {1, {2, 42, 6, 66}},   {1, {43, 44, 71, 72}},
        {0, {0, 22, 0, 36}}, {0, {11, 22, 18, 36}}, {0, {0, 1, 0, 1}},
    };
    for (const auto &[size, roi] : windows)
        for (bool sub : {true, false})
            for (bool comp : {false, true})
                for (bool dec : {false, true})
                    cases.push_back({size, roi, sub, comp, dec, 0});
    cases.push_back({1, {0, 44, 0, 72}, true, true, false, 1});
    cases.push_back({0, {0, 22, 0, 36}, false, true, true, 1});
    return cases;
}

class CameraFrames : public ::testing::TestWithParam<FrameCase> {};

TEST_P(CameraFrames, VerifyAndDecodeToWhatTheCameraExpectsTheHostToShow)
{
    const FrameCase &c = GetParam();
    InitDecode();
    Camera camera;
    std::vector<Image422> references;
    std::vector<std::vector<uint8_t>> sent;
    camera.setFrameObserver([&](const CapturedFrame &f) {
        references.push_back(*f.reference);
        sent.push_back(f.bytes);
    });

    startCamera(camera, 0);
    writeCommand(camera, kSetFormat, {c.videoSize, uint8_t(c.subsampling422 ? 1 : 0), c.yuvOrder, 0}, 0);
    writeCommand(camera, kSetROI, c.roi, 0);
    writeCommand(camera, kSetCompressionTarget, {1, 12, 16, 0}, 0);
    writeCommand(camera, kSetCompression, {uint8_t(c.compression), uint8_t(c.decimation), 0, 0}, 0);

    const int width = (c.roi[1] - c.roi[0]) * 8;
    const int height = (c.roi[3] - c.roi[2]) * 4;
    std::vector<uint8_t> output(static_cast<size_t>(width * height * 2), 0);
    uint16_t decimationState = 0;
    // Let the automatic exposure settle: while it moves, every pair changes.
    camera.advanceTo(2000);
    Collector host;
    int64_t t = 2000;
    const int kFrames = 4;
    for (int n = 0; n < kFrames; ++n) {
        writeCommand(camera, kGrabFrame, {0, 0, 0, 0}, t);
        const size_t before = host.frames.size();
        for (int guard = 0; guard < 600 && host.frames.size() == before; ++guard, ++t)
            host.run(camera, t, t + 1);
        ASSERT_EQ(host.frames.size(), before + 1) << "frame " << n << " never arrived";
    }
    ASSERT_EQ(sent.size(), size_t(kFrames));

    for (int n = 0; n < kFrames; ++n) {
        const std::vector<uint8_t> &frame = host.frames[static_cast<size_t>(n)];
        EXPECT_EQ(frame, sent[static_cast<size_t>(n)]);

        FrameHeaderInfo info{};
        StreamErrorDetails details{};
        ASSERT_EQ(VerifyStreamBounded(frame.data(), frame.size(), &info, &details), 0u)
            << "frame " << n << " line " << details.line << " offset " << details.offset;
        EXPECT_EQ((std::vector<int>{info.videoSize, info.subsampling, info.yuvOrder, info.compression,
                                    info.decimation, info.colStart, info.colEnd, info.rowStart, info.rowEnd}),
                  (std::vector<int>{c.videoSize, c.subsampling422, c.yuvOrder, c.compression, c.decimation,
                                    c.roi[0] * 16, c.roi[1] * 16, c.roi[2] * 4, c.roi[3] * 4}));

        ASSERT_EQ(FormatStreamBounded(ZM4_FORMAT_YUY2, frame.data(), frame.size(), output.data(),
                                      uint32_t(width), uint32_t(height), &decimationState),
                  0u)
            << "frame " << n;
        const Image422 &ref = references[static_cast<size_t>(n)];
        ASSERT_EQ(ref.data.size(), output.size());
        size_t mismatches = 0, first = 0;
        for (size_t i = 0; i < output.size(); ++i)
            if (output[i] != ref.data[i] && mismatches++ == 0)
                first = i;
        EXPECT_EQ(mismatches, 0u) << "frame " << n << " first difference at row "
                                  << first / static_cast<size_t>(width * 2) << " byte "
                                  << first % static_cast<size_t>(width * 2);
    }

    // Compression must actually leave pairs out once the camera has a reference.
    if (c.compression && width >= 64) {
        size_t uncompressed = 64 + (c.subsampling422 ? 4 : 1);
        for (int r = 0; r < height; r += c.decimation ? 2 : 1)
            uncompressed += 3 + size_t(width) * (!c.subsampling422 && (r & 1) ? 1 : 2);
        EXPECT_LT(double(sent.back().size()), 0.85 * double(uncompressed));
    }
    FiniDecode();
}

INSTANTIATE_TEST_SUITE_P(AllWindows, CameraFrames, ::testing::ValuesIn(allCases()), caseName);

TEST(CameraFramesExact, BarsArriveWithTheirExactValues)
{
    InitDecode();
    Camera camera;
    camera.setScene(makeBarsScene());
    startCamera(camera, 0);
    writeCommand(camera, kSetROI, {2, 42, 6, 66}, 0); // 320 x 240 from x = 16
    Collector host = grabAndPoll(camera, 0, 400);
    ASSERT_EQ(host.frames.size(), 1u);

    std::vector<uint8_t> output(320 * 240 * 2);
    uint16_t state = 0;
    const auto &frame = host.frames[0];
    ASSERT_EQ(
        FormatStreamBounded(ZM4_FORMAT_YUY2, frame.data(), frame.size(), output.data(), 320, 240, &state),
        0u);
    for (int y : {0, 119, 239}) {
        for (int x = 0; x < 320; x += 2) {
            const BarColour &bar = kBarColours[(x + 16) * 8 / 352];
            const uint8_t *p = output.data() + (y * 320 + x) * 2;
            ASSERT_EQ(p[0], bar.y) << "x " << x;
            ASSERT_EQ(p[1], bar.u) << "x " << x;
            ASSERT_EQ(p[3], bar.v) << "x " << x;
        }
    }
    FiniDecode();
}

TEST(FrameEncoder, EmptyWindowsMakeValidFramesTheHostCanStillFind)
{
    Camera camera;
    std::vector<std::vector<uint8_t>> sent;
    camera.setFrameObserver([&](const CapturedFrame &f) { sent.push_back(f.bytes); });
    startCamera(camera, 0);
    int64_t t = 0;
    for (const std::array<uint8_t, 4> roi :
         {std::array<uint8_t, 4>{3, 9, 5, 5}, std::array<uint8_t, 4>{4, 4, 0, 2}}) {
        writeCommand(camera, kSetROI, roi, t);
        Collector host = grabAndPoll(camera, t, t + 100);
        ASSERT_EQ(host.frames.size(), 1u);
        EXPECT_EQ(host.frames[0], sent.back());
        FrameHeaderInfo info{};
        StreamErrorDetails details{};
        EXPECT_EQ(VerifyStreamBounded(host.frames[0].data(), host.frames[0].size(), &info, &details), 0u);
        t += 100;
    }
    // No lines at all: the end marker follows the header.
    EXPECT_EQ(sent[0].size(), 64u + 4u);
    // Lines of no pixels: just their end markers.
    EXPECT_EQ(sent[1].size(), 64u + 8u * 3u + 4u);
}

TEST(CameraFramesSequence, SwitchingDecimationAndCompressionKeepsTheHostInStep)
{
    InitDecode();
    Camera camera;
    std::vector<Image422> references;
    camera.setFrameObserver([&](const CapturedFrame &f) { references.push_back(*f.reference); });
    startCamera(camera, 0);
    writeCommand(camera, kSetFormat, {0, 1, 0, 0}, 0);
    writeCommand(camera, kSetCompressionTarget, {1, 12, 16, 0}, 0);
    camera.advanceTo(2000);

    const std::pair<uint8_t, uint8_t> steps[] = {{0, 0}, {1, 1}, {1, 1}, {1, 0}, {1, 0},
                                                 {1, 1}, {0, 0}, {1, 0}, {0, 1}, {1, 0}};
    std::vector<uint8_t> output(176 * 144 * 2);
    uint16_t state = 0;
    Collector host;
    int64_t t = 2000;
    for (const auto &[compression, decimation] : steps) {
        writeCommand(camera, kSetCompression, {compression, decimation, 0, 0}, t);
        writeCommand(camera, kGrabFrame, {0, 0, 0, 0}, t);
        const size_t before = host.frames.size();
        for (int guard = 0; guard < 400 && host.frames.size() == before; ++guard, ++t)
            host.run(camera, t, t + 1);
        ASSERT_EQ(host.frames.size(), before + 1);
        const std::vector<uint8_t> &frame = host.frames.back();
        ASSERT_EQ(
            FormatStreamBounded(ZM4_FORMAT_YUY2, frame.data(), frame.size(), output.data(), 176, 144, &state),
            0u);
        EXPECT_EQ(output, references.back().data)
            << "after compression " << int(compression) << " decimation " << int(decimation);
    }
    FiniDecode();
}

} // namespace
} // namespace zm4::emu::test
