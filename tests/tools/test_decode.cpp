// zm4 decode: the images it writes hold the decoder's pixels, turned into
// what each file format expects, across a stream of frame files; bad input
// gives one line naming the file and the right exit code, and a failed run
// destroys nothing.
#include <filesystem>
#include <gtest/gtest.h>

#include "decode/resize.h"
#include "decode/zm4decode.h"
#include "tests/tools/tool_fixtures.h"
#include "tests/tools/tool_runner.h"

namespace zm4::cli::testing {
namespace {

using namespace zm4::emu;

constexpr uint32_t kW = 176;
constexpr uint32_t kH = 144;

class ToolDecode : public ::testing::Test {
protected:
    // Three frames as a camera sends them: an uncompressed one, then two
    // compressed against the frame before, each changing one rectangle.
    void SetUp() override
    {
        Image422 image = randomImage(kW, kH, 7);
        EncodedFrame frame = encodeFrame(image, EncodeOptions{});
        frames_.push_back(frame.bytes);
        for (uint32_t n = 1; n <= 2; ++n) {
            for (uint32_t r = 20 * n; r < 20 * n + 40; ++r)
                for (uint32_t p = 10 * n; p < 10 * n + 30; ++p)
                    for (uint32_t i = 4 * p; i < 4 * p + 4; ++i)
                        image.row(r)[i] = static_cast<uint8_t>(image.row(r)[i] + 90 * n);
            EncodeOptions options;
            options.compression = true;
            options.previous = &frame.reference;
            frame = encodeFrame(image, options);
            frames_.push_back(frame.bytes);
        }
        for (size_t i = 0; i < frames_.size(); ++i)
            paths_.push_back(dir_.write("frame" + std::to_string(i) + ".raw", frames_[i]));
    }

    ToolResult decode(const std::vector<std::string> &files, const std::string &format,
                      const std::string &out)
    {
        std::vector<std::string> args{"decode"};
        args.insert(args.end(), files.begin(), files.end());
        args.insert(args.end(), {"-f", format, "-o", out});
        return runTool(args);
    }

    Bytes lastRgb(uint32_t code)
    {
        return topDownRgb(code, decodeWithLibrary(frames_, code, kW, kH).back(), kW, kH);
    }

    TempDir dir_;
    std::vector<Bytes> frames_;
    std::vector<std::string> paths_;
};

TEST_F(ToolDecode, StillImagesHoldTheLastFrameTopDownWithRedFirst)
{
    for (auto [name, code, ext] :
         {std::tuple{"rgb24", ZM4_FORMAT_RGB24, ".png"}, std::tuple{"RGB32", ZM4_FORMAT_RGB32, ".ppm"},
          std::tuple{"rgb555", ZM4_FORMAT_RGB16, ".PNG"}}) {
        std::string out = dir_.path(std::string(name) + ext);
        ToolResult r = decode(paths_, name, out);
        ASSERT_EQ(r.exitCode, 0) << name << ": " << r.err;
        EXPECT_EQ(r.err, "");
        RgbImage image = std::string(ext) == ".ppm" ? readPpm(out) : readPng(out);
        EXPECT_EQ(image.width, kW);
        EXPECT_EQ(image.height, kH);
        EXPECT_EQ(image.rgb, lastRgb(code)) << name;
    }
    // Pure red at the bottom: the file shows it last and puts red first.
    std::string red = dir_.write("red.raw", encodeFrame(flatImage(kW, kH, 81, 90, 240), {}).bytes);
    ASSERT_EQ(decode({red}, "rgb24", dir_.path("red.ppm")).exitCode, 0);
    RgbImage image = readPpm(dir_.path("red.ppm"));
    EXPECT_GT(image.rgb[image.rgb.size() - 3], 240);
    EXPECT_LT(image.rgb[image.rgb.size() - 1], 15);
}

TEST_F(ToolDecode, Y4mCarriesEveryFrameWithPlanesInYCbCrOrder)
{
    const size_t pixels = kW * kH;
    for (auto [names, code] : {std::pair{std::array{"i420", "YV12"}, ZM4_FORMAT_I420},
                               std::pair{std::array{"yuy2", "UYVY"}, ZM4_FORMAT_YUY2}}) {
        // Y, then Cb, then Cr: I420's planes as they are, YUY2's pairs split up.
        std::vector<Bytes> expected = decodeWithLibrary(frames_, code, kW, kH);
        for (Bytes &img : expected) {
            if (code == ZM4_FORMAT_YUY2) {
                Bytes planes(img.size());
                for (size_t i = 0; i < pixels / 2; ++i) {
                    planes[2 * i] = img[4 * i];
                    planes[2 * i + 1] = img[4 * i + 2];
                    planes[pixels + i] = img[4 * i + 1];
                    planes[pixels + pixels / 2 + i] = img[4 * i + 3];
                }
                img = planes;
            }
        }
        // The other format of each family stores the same samples in another order.
        for (const char *name : names) {
            std::string out = dir_.path(std::string(name) + ".y4m");
            ASSERT_EQ(decode(paths_, name, out).exitCode, 0) << name;
            Y4mStream y4m = readY4m(out);
            EXPECT_EQ(y4m.header, "YUV4MPEG2 W176 H144 F30:1 Ip A1:1 C" +
                                      std::string(code == ZM4_FORMAT_I420 ? "420paldv" : "422") +
                                      " XCOLORRANGE=LIMITED");
            EXPECT_EQ(y4m.frames, expected) << name;
        }
    }
}

TEST_F(ToolDecode, RawStandardOutputPercentDAndACompressedStart)
{
    Bytes expected;
    for (const Bytes &img : decodeWithLibrary(frames_, ZM4_FORMAT_UYVY, kW, kH))
        expected.insert(expected.end(), img.begin(), img.end());
    ASSERT_EQ(decode(paths_, "uyvy", dir_.path("stream.yuv")).exitCode, 0);
    EXPECT_EQ(readBytes(dir_.path("stream.yuv")), expected);
    // The same stream with the first frame from standard input, to standard output.
    ToolResult piped = runTool({"decode", "-", paths_[1], paths_[2], "-f", "uyvy", "-o", "-"}, paths_[0]);
    ASSERT_EQ(piped.exitCode, 0) << piped.err;
    EXPECT_EQ(Bytes(piped.out.begin(), piped.out.end()), expected);

    // Starting with a compressed frame works, with a warning.
    ToolResult late = decode({paths_[1], paths_[2]}, "yuy2", dir_.path("late.yuv"));
    EXPECT_EQ(late.exitCode, 0);
    EXPECT_EQ(late.err,
              "zm4: warning: " + paths_[1] +
                  ": the stream starts with a compressed frame, so the first picture is incomplete (it "
                  "holds only the pairs that frame carries)\n");

    ASSERT_EQ(decode(paths_, "rgb24", dir_.path("still-%02d.ppm")).exitCode, 0);
    std::vector<Bytes> decoded = decodeWithLibrary(frames_, ZM4_FORMAT_RGB24, kW, kH);
    for (size_t f = 0; f < decoded.size(); ++f)
        EXPECT_EQ(readPpm(dir_.path("still-0" + std::to_string(f) + ".ppm")).rgb,
                  topDownRgb(ZM4_FORMAT_RGB24, decoded[f], kW, kH));
}

TEST_F(ToolDecode, DecimationStateCarriesOverAndDoubleSize)
{
    // A decimated frame, then a compressed full one: its odd rows come from the
    // row above only if the state word survives from one file to the next.
    EncodeOptions decimate;
    decimate.decimation = true;
    EncodedFrame decimated = encodeFrame(randomImage(kW, kH, 9), decimate);
    EncodeOptions full;
    full.compression = true;
    full.previous = &decimated.reference;
    std::vector<Bytes> stream{decimated.bytes, encodeFrame(randomImage(kW, kH, 10), full).bytes};
    ASSERT_EQ(
        decode({dir_.write("d0.raw", stream[0]), dir_.write("d1.raw", stream[1])}, "yuy2", dir_.path("d.bin"))
            .exitCode,
        0);
    Bytes carried = decodeWithLibrary(stream, ZM4_FORMAT_YUY2, kW, kH).back();
    Bytes tool = readBytes(dir_.path("d.bin"));
    EXPECT_EQ(Bytes(tool.end() - static_cast<std::ptrdiff_t>(carried.size()), tool.end()), carried);
    EXPECT_NE(carried, decodeWithLibrary({stream[1]}, ZM4_FORMAT_YUY2, kW, kH).back());

    ASSERT_EQ(
        runTool({"decode", paths_[0], "-f", "rgb24", "-s", "352x288", "-o", dir_.path("big.ppm")}).exitCode,
        0);
    Bytes doubled(kW * kH * 3 * 4);
    Bytes half = decodeWithLibrary({frames_[0]}, ZM4_FORMAT_RGB24, kW, kH).back();
    std::copy(half.begin(), half.end(), doubled.begin());
    Resize_by_2_PolyPhase(doubled.data(), kH, kW);
    EXPECT_EQ(readPpm(dir_.path("big.ppm")).rgb, topDownRgb(ZM4_FORMAT_RGB24, doubled, 2 * kW, 2 * kH));
}

TEST_F(ToolDecode, UsageErrorsExitTwoBeforeWritingAnything)
{
    const std::string out = dir_.path("out.y4m");
    const std::string f = paths_[0];
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"decode", f, "-f", "bgr24", "-o", out},
         "zm4: decode: unknown format 'bgr24', expected one of rgb24, rgb32, rgb555, i420, yv12, yuy2, uyvy"},
        {{"decode", f, "-f", "rgb24", "-o", out},
         "zm4: decode: rgb24 is an RGB format: write it to .png or .ppm"},
        {{"decode", f, "-f", "i420", "-o", dir_.path("o.png")}, "zm4: decode: i420 is a YUV format"},
        {{"decode", f, "-f", "i420", "-o", dir_.path("o.mp4")},
         "zm4: decode: cannot tell the output format of '" + dir_.path("o.mp4") +
             "': the known extensions are .png, .ppm, .y4m, .yuv, .rgb, .bin, .raw"},
        {{"decode", f, "-o", out}, "zm4: decode: no output format given"},
        {{"decode", f, "-f", "i420"}, "zm4: decode: no output file given"},
        {{"decode", "-f", "i420", "-o", out}, "zm4: decode: no frame file given"},
        {{"decode", f, "-f", "i420", "-s", "352by288", "-o", out}, "zm4: decode: bad size '352by288'"},
        {{"decode", f, "-f", "i420", "-o", out, "-f"}, "zm4: decode: --format: 1 required FORMAT missing"},
        {{"decode", f, "-f", "i420", "-s", "352x288", "-o", out},
         "zm4: " + f + ": -s 352x288 doubles the 176x144 frame, which only rgb24 can do"},
    };
    for (const auto &[args, message] : cases) {
        ToolResult r = runTool(args);
        EXPECT_EQ(r.exitCode, 2) << message;
        EXPECT_EQ(r.err.rfind(message, 0), 0u) << "got: " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path("")), {}), 3);
}

TEST_F(ToolDecode, BadFrameStopsTheStreamWithOneLineNamingTheFile)
{
    EncodeOptions faulty;
    faulty.fault = {WireFault::NoEndOfLine, 17, 0x00};
    std::string bad = dir_.write("bad.raw", encodeFrame(randomImage(kW, kH, 11), faulty).bytes);
    ToolResult r = decode({paths_[0], bad, paths_[1]}, "i420", dir_.path("clip.y4m"));
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.err, "zm4: " + bad + ": line 17: line does not end with 0xFD (status 3)\n");
    EXPECT_FALSE(std::filesystem::exists(dir_.path("clip.y4m")));

    std::string bigger = dir_.write("big.raw", encodeFrame(randomImage(352, 288, 12), EncodeOptions{}).bytes);
    r = decode({paths_[0], bigger}, "rgb24", dir_.path("mixed.bin"));
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.err,
              "zm4: " + bigger + ": frame is 352x288, but the stream is 176x144 (set by its first frame)\n");

    std::string missing = dir_.path("nothere.raw");
    r = decode({paths_[0], missing}, "rgb24", dir_.path("m.png"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "zm4: " + missing + ": No such file or directory\n");
    EXPECT_EQ(decode({paths_[0]}, "rgb24", dir_.path("no/such/dir/out.ppm")).exitCode, 1);
}

TEST_F(ToolDecode, FailedRunLeavesFilesLinksAndDevicesAsTheyWere)
{
    std::string bad = dir_.write("cut.raw", Bytes(frames_[0].begin(), frames_[0].begin() + 20000));
    const Bytes kept{'k', 'e', 'p', 't'};
    std::string target = dir_.write("target.yuv", kept);
    std::filesystem::create_symlink(target, dir_.path("link.yuv"));
    for (const std::string &out :
         {target, dir_.path("link.yuv"), std::string("/dev/null"), std::string("/dev/stdout")})
        EXPECT_EQ(decode({paths_[0], bad}, "yuy2", out).exitCode, 4) << out;
    EXPECT_EQ(readBytes(target), kept);
    EXPECT_TRUE(std::filesystem::is_symlink(dir_.path("link.yuv")));
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path("")), {}), 6); // nothing left over

    // A good run through the link replaces the target and keeps the link.
    ASSERT_EQ(decode({paths_[0]}, "yuy2", dir_.path("link.yuv")).exitCode, 0);
    EXPECT_TRUE(std::filesystem::is_symlink(dir_.path("link.yuv")));
    EXPECT_EQ(readBytes(target), decodeWithLibrary({frames_[0]}, ZM4_FORMAT_YUY2, kW, kH).back());
}

} // namespace
} // namespace zm4::cli::testing
