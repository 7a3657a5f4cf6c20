// Frames from the emulated camera, checked against the wire format directly
// and through the project's decoder: every window size, compression,
// decimation, subsampling and YUV order decodes to what the camera believes
// the host shows.

#include <gtest/gtest.h>

#include <tuple>

#include "decode/zm4decode.h"
#include "tests/emulator/emu_test_util.h"

namespace zm4::emu::test {
namespace {

// The camera's encoder skips pairs within the threshold, splits long runs of
// skips, and sends chroma as V, U in YUV order 1.
TEST(FrameEncoder, SkipsFollowTheThresholdLongRunsSplitAndYuvOrderSwapsChroma)
{
    Image422 image(352, 288);
    for (size_t i = 0; i < image.data.size(); i += 4)
        std::copy_n(std::array<uint8_t, 4>{100, 128, 100, 130}.begin(), 4, image.data.begin() + ptrdiff_t(i));
    FrameEncoder encoder, swapped;
    FrameParams p; // 352 x 288 window
    p.compression = true;
    p.threshold = 3;
    encoder.encode(image, p);
    image.row(0)[1] = 131;          // within the threshold
    image.row(1)[4 * 10 + 1] = 132; // beyond it
    const std::vector<uint8_t> f = encoder.encode(image, p);
    // Row 0: 176 unchanged pairs = 62 + 62 + 52; row 1: 10 skipped, the changed pair, 165 skipped.
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + 64, f.begin() + 81),
              (std::vector<uint8_t>{0x04, 0x00, 0xF9, 0xF9, 0xD1, 0xFD, 9, 0, 1 + 4 * 10, 100, 132, 100, 130,
                                    1 + 4 * 62, 1 + 4 * 62, 1 + 4 * 41, 0xFD}));
    EXPECT_EQ(encoder.reference().row(0)[1], 128); // the hidden change stays hidden
    p.yuvOrder = 1;                                // a fresh encoder sends every pair
    const std::vector<uint8_t> g = swapped.encode(image, p);
    EXPECT_EQ(std::vector<uint8_t>(g.begin() + 66, g.begin() + 70),
              (std::vector<uint8_t>{100, 130, 100, 131}));
}

struct FrameCase {
    uint8_t videoSize;
    std::array<uint8_t, 4> roi;
    bool subsampling422, compression, decimation;
    uint8_t yuvOrder;
    // Compression and decimation switched before each grab; empty: four grabs as set.
    std::vector<std::pair<bool, bool>> steps = {};
};

// Grabs frames one after another under `c` and checks each against the
// decoder, whose decimation state must stay in step across mode switches.
void checkFrames(FrameCase c)
{
    if (c.steps.empty())
        c.steps.assign(4, {c.compression, c.decimation});
    Camera camera;
    std::vector<Image422> references;
    std::vector<std::vector<uint8_t>> sent;
    camera.setFrameObserver([&](const CapturedFrame &f) {
        references.push_back(*f.reference);
        sent.push_back(f.bytes);
    });
    startCamera(camera, 0);
    writeCommand(camera, kSetFormat, {c.videoSize, uint8_t(c.subsampling422), c.yuvOrder, 0}, 0);
    writeCommand(camera, kSetROI, c.roi, 0);
    writeCommand(camera, kSetCompressionTarget, {1, 12, 16, 0}, 0);
    const int width = (c.roi[1] - c.roi[0]) * 8, height = (c.roi[3] - c.roi[2]) * 4;
    std::vector<uint8_t> output(static_cast<size_t>(width * height * 2), 0);
    uint16_t decimationState = 0;
    camera.advanceTo(2000); // while the automatic exposure moves, every pair changes
    Collector host;
    int64_t t = 2000;
    for (size_t n = 0; n < c.steps.size(); ++n) {
        std::tie(c.compression, c.decimation) = c.steps[n];
        writeCommand(camera, kSetCompression, {uint8_t(c.compression), uint8_t(c.decimation), 0, 0}, t);
        writeCommand(camera, kGrabFrame, {0, 0, 0, 0}, t);
        for (int guard = 0; guard < 600 && host.frames.size() == n; ++guard, ++t)
            host.run(camera, t, t + 1);
        ASSERT_EQ(host.frames.size(), n + 1) << "frame " << n << " never arrived";
        const std::vector<uint8_t> &frame = host.frames[n];
        EXPECT_EQ(frame, sent[n]);
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
                  0u);
        EXPECT_TRUE(output == references[n].data) << "frame " << n << " decodes to other pixels";
    }
    // Compression must actually leave pairs out once the camera has a reference.
    if (c.compression && width >= 64) {
        size_t uncompressed = 64 + (c.subsampling422 ? 4 : 1);
        for (int r = 0; r < height; r += c.decimation ? 2 : 1)
            uncompressed += 3 + size_t(width) * (!c.subsampling422 && (r & 1) ? 1 : 2);
        EXPECT_LT(double(sent.back().size()), 0.85 * double(uncompressed));
    }
}

TEST(CameraFrames, EveryWindowAndModeDecodesToWhatTheCameraExpectsTheHostToShow)
{
    InitDecode();
    const std::pair<uint8_t, std::array<uint8_t, 4>> windows[] = {
        {1, {0, 44, 0, 72}}, {1, {2, 42, 6, 66}},   {1, {43, 44, 71, 72}},
        {0, {0, 22, 0, 36}}, {0, {11, 22, 18, 36}}, {0, {0, 1, 0, 1}},
    };
    std::vector<FrameCase> cases = {
        {1, {0, 44, 0, 72}, true, true, false, 1},
        {0, {0, 22, 0, 36}, false, true, true, 1},
        {0,
         {0, 22, 0, 36},
         true,
         false,
         false,
         0,
         {{0, 0}, {1, 1}, {1, 1}, {1, 0}, {1, 0}, {1, 1}, {0, 0}, {1, 0}, {0, 1}, {1, 0}}}};
    for (const auto &[size, roi] : windows)
        for (int bits = 0; bits < 8; ++bits)
            cases.push_back({size, roi, (bits & 4) != 0, (bits & 2) != 0, (bits & 1) != 0, 0});
    for (const FrameCase &c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "size " << int(c.videoSize) << " roi " << int(c.roi[0]) << "," << int(c.roi[1]) << ","
                     << int(c.roi[2]) << "," << int(c.roi[3]) << " 422 " << c.subsampling422 << " comp "
                     << c.compression << " dec " << c.decimation << " order " << int(c.yuvOrder));
        checkFrames(c);
    }
    FiniDecode();
}

} // namespace
} // namespace zm4::emu::test
