// zm4 decode: the images it writes hold the decoder's pixels, turned into
// what each file format expects, across a stream of frame files; bad input
// gives one line naming the file and the problem, and the right exit code.
#include <filesystem>
#include <gtest/gtest.h>

#include "decode/resize.h"
#include "decode/zm4decode.h"
#include "tests/support/frame_encoder.h"
#include "tests/tools/tool_fixtures.h"
#include "tests/tools/tool_runner.h"

namespace zm4::cli::testing {
namespace {

using zm4::testing::EncodedFrame;
using zm4::testing::encodeFrame;
using zm4::testing::EncodeOptions;
using zm4::testing::FaultKind;
using zm4::testing::Image422;

constexpr uint32_t kW = 176;
constexpr uint32_t kH = 144;

class ToolDecode : public ::testing::Test {
protected:
    // Three frames as a camera sends them: an uncompressed one, then two
    // compressed against the frame before, each changing one rectangle.
    void SetUp() override
    {
        Image422 image = patternImage(kW, kH, 7);
        EncodedFrame first = encodeFrame(image, EncodeOptions{});
        frames_.push_back(first.bytes);
        Image422 reference = first.reference;
        for (uint32_t n = 1; n <= 2; ++n) {
            for (uint32_t r = 20 * n; r < 20 * n + 40; ++r)
                for (uint32_t p = 10 * n; p < 10 * n + 30; ++p)
                    for (int i = 0; i < 4; ++i)
                        image.pair(r, p)[i] = static_cast<uint8_t>(image.pair(r, p)[i] + 90 * n);
            EncodeOptions options;
            options.compress = true;
            options.previous = &reference;
            EncodedFrame next = encodeFrame(image, options);
            frames_.push_back(next.bytes);
            reference = next.reference;
        }
        for (size_t i = 0; i < frames_.size(); ++i)
            paths_.push_back(write("frame" + std::to_string(i) + ".raw", frames_[i]));
    }

    std::string write(const std::string &name, const Bytes &bytes)
    {
        std::string path = dir_.path(name);
        writeBytes(path, bytes);
        return path;
    }

    std::vector<std::string> decodeArgs(const std::vector<std::string> &files, const std::string &format,
                                        const std::string &out)
    {
        std::vector<std::string> args{"decode"};
        args.insert(args.end(), files.begin(), files.end());
        args.insert(args.end(), {"-f", format, "-o", out});
        return args;
    }

    TempDir dir_;
    std::vector<Bytes> frames_;
    std::vector<std::string> paths_;
};

TEST_F(ToolDecode, PpmHoldsTheLastFrameOfTheStreamTopDown)
{
    for (auto [name, code] : {std::pair{"rgb24", ZM4_FORMAT_RGB24}, std::pair{"RGB32", ZM4_FORMAT_RGB32},
                              std::pair{"rgb555", ZM4_FORMAT_RGB16}}) {
        std::string out = dir_.path(std::string(name) + ".ppm");
        ToolResult r = runTool(decodeArgs(paths_, name, out));
        ASSERT_EQ(r.exitCode, 0) << name << ": " << r.err;
        EXPECT_EQ(r.err, "");
        RgbImage ppm = readPpm(out);
        EXPECT_EQ(ppm.width, kW);
        EXPECT_EQ(ppm.height, kH);
        Bytes expected = topDownRgb(code, decodeWithLibrary(frames_, code, kW, kH).back(), kW, kH);
        EXPECT_EQ(ppm.rgb, expected) << name;
    }
}

TEST_F(ToolDecode, ImagesAreTopDownWithRedFirst)
{
    // Top half bright white, bottom half a red of known value: the file must
    // show white on top and put red first in each pixel.
    Image422 image = zm4::testing::flatImage(kW, kH, 128, 128, 255);
    for (uint32_t r = 0; r < kH / 2; ++r)
        for (uint32_t p = 0; p < kW / 2; ++p)
            std::copy_n(std::array<uint8_t, 4>{235, 128, 235, 128}.data(), 4, image.pair(r, p));
    std::string frame = write("split.raw", encodeFrame(image, EncodeOptions{}).bytes);

    auto pixel = [](const RgbImage &img, uint32_t x, uint32_t y) {
        const uint8_t *p = img.rgb.data() + (size_t{y} * img.width + x) * 3;
        return std::array<int, 3>{p[0], p[1], p[2]};
    };
    // RGB32: the plain arithmetic gives blue 133, green 29, red 255 for Y 128, V 255.
    std::string out32 = dir_.path("split32.ppm");
    ASSERT_EQ(runTool(decodeArgs({frame}, "rgb32", out32)).exitCode, 0);
    RgbImage img32 = readPpm(out32);
    EXPECT_EQ(pixel(img32, 0, 0), (std::array<int, 3>{255, 255, 255}));
    EXPECT_EQ(pixel(img32, kW - 1, kH - 1), (std::array<int, 3>{255, 29, 133}));
    // RGB555 keeps the top five bits and widens them: 255 -> 255, 29 -> 24, 133 -> 132.
    std::string out16 = dir_.path("split16.png");
    ASSERT_EQ(runTool(decodeArgs({frame}, "rgb555", out16)).exitCode, 0);
    RgbImage img16 = readPng(out16);
    EXPECT_EQ(pixel(img16, 5, 3), (std::array<int, 3>{255, 255, 255}));
    EXPECT_EQ(pixel(img16, 5, kH - 3), (std::array<int, 3>{255, 24, 132}));
}

TEST_F(ToolDecode, PngHasTheFrameSizeAndTheDecodedPixels)
{
    std::string out = dir_.path("frame.png");
    ToolResult r = runTool(decodeArgs(paths_, "rgb24", out));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    Bytes bytes = readBytes(out);
    ASSERT_GE(bytes.size(), 33u);
    const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    EXPECT_TRUE(std::equal(signature, signature + 8, bytes.begin()));
    EXPECT_EQ(std::string(bytes.begin() + 12, bytes.begin() + 16), "IHDR");
    // Width and height big-endian, bit depth 8, colour type 2 (RGB).
    EXPECT_EQ(Bytes(bytes.begin() + 16, bytes.begin() + 26), (Bytes{0, 0, 0, kW, 0, 0, 0, kH, 8, 2}));
    RgbImage png = readPng(out);
    EXPECT_EQ(png.rgb, topDownRgb(ZM4_FORMAT_RGB24,
                                  decodeWithLibrary(frames_, ZM4_FORMAT_RGB24, kW, kH).back(), kW, kH));
}

TEST_F(ToolDecode, Y4mCarriesEveryFrameWithPlanesInYCbCrOrder)
{
    const uint32_t pixels = kW * kH;
    for (auto [name, code] : {std::pair{"i420", ZM4_FORMAT_I420}, std::pair{"yv12", ZM4_FORMAT_YV12},
                              std::pair{"YUY2", ZM4_FORMAT_YUY2}, std::pair{"uyvy", ZM4_FORMAT_UYVY}}) {
        std::string out = dir_.path(std::string(name) + ".y4m");
        ToolResult r = runTool(decodeArgs(paths_, name, out));
        ASSERT_EQ(r.exitCode, 0) << name << ": " << r.err;
        Y4mStream y4m = readY4m(out);
        EXPECT_EQ(y4m.width, kW);
        EXPECT_EQ(y4m.height, kH);
        const bool planar = code == ZM4_FORMAT_I420 || code == ZM4_FORMAT_YV12;
        EXPECT_EQ(y4m.colour, planar ? "420jpeg" : "422") << name;
        ASSERT_EQ(y4m.frames.size(), frames_.size()) << name;

        std::vector<Bytes> decoded = decodeWithLibrary(frames_, code, kW, kH);
        for (size_t f = 0; f < decoded.size(); ++f) {
            const Bytes &img = decoded[f];
            // Y4M wants Y, then Cb, then Cr: planar images reorder their planes,
            // packed ones are split into them.
            Bytes y, cb, cr;
            const auto part = [&](size_t at, size_t n) {
                return Bytes(img.begin() + at, img.begin() + at + n);
            };
            if (planar) {
                const size_t quarter = pixels / 4;
                y = part(0, pixels);
                cb = part(code == ZM4_FORMAT_I420 ? pixels : pixels + quarter, quarter);
                cr = part(code == ZM4_FORMAT_I420 ? pixels + quarter : pixels, quarter);
            } else {
                const size_t y0 = code == ZM4_FORMAT_YUY2 ? 0 : 1, u = 1 - y0, v = u + 2;
                for (size_t i = 0; i < img.size(); i += 4) {
                    y.insert(y.end(), {img[i + y0], img[i + y0 + 2]});
                    cb.push_back(img[i + u]);
                    cr.push_back(img[i + v]);
                }
            }
            Bytes expected = y;
            expected.insert(expected.end(), cb.begin(), cb.end());
            expected.insert(expected.end(), cr.begin(), cr.end());
            EXPECT_EQ(y4m.frames[f], expected) << name << " frame " << f;
        }
    }
}

TEST_F(ToolDecode, RawAppendsEveryFrameAndPercentDWritesOneFilePerFrame)
{
    std::string raw = dir_.path("stream.bin");
    ASSERT_EQ(runTool(decodeArgs(paths_, "uyvy", raw)).exitCode, 0);
    Bytes expected;
    for (const Bytes &img : decodeWithLibrary(frames_, ZM4_FORMAT_UYVY, kW, kH))
        expected.insert(expected.end(), img.begin(), img.end());
    EXPECT_EQ(readBytes(raw), expected);

    ToolResult r = runTool(decodeArgs(paths_, "rgb24", dir_.path("still-%02d.ppm")));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<Bytes> decoded = decodeWithLibrary(frames_, ZM4_FORMAT_RGB24, kW, kH);
    for (size_t f = 0; f < decoded.size(); ++f) {
        std::string name = dir_.path("still-0" + std::to_string(f) + ".ppm");
        ASSERT_TRUE(std::filesystem::exists(name)) << name;
        EXPECT_EQ(readPpm(name).rgb, topDownRgb(ZM4_FORMAT_RGB24, decoded[f], kW, kH)) << f;
    }
}

TEST_F(ToolDecode, ReferencePathGivesTheSameImages)
{
    for (const char *format : {"yuy2", "i420", "rgb24"}) {
        std::string fast = dir_.path(std::string("fast-") + format + ".bin");
        std::string plain = dir_.path(std::string("plain-") + format + ".bin");
        ASSERT_EQ(runTool(decodeArgs(paths_, format, fast)).exitCode, 0) << format;
        std::vector<std::string> args = decodeArgs(paths_, format, plain);
        args.push_back("--reference");
        ASSERT_EQ(runTool(args).exitCode, 0) << format;
        EXPECT_EQ(readBytes(fast), readBytes(plain)) << format;
    }
}

TEST_F(ToolDecode, DecimationStateCarriesOverBetweenFiles)
{
    // A decimated frame, then a compressed full frame: the decoder treats the
    // second as the first after decimation (odd rows copied from the row above)
    // only if the state word survives from one file to the next.
    Image422 image = patternImage(kW, kH, 9);
    EncodeOptions decimate;
    decimate.decimate = true;
    EncodedFrame decimated = encodeFrame(image, decimate);
    EncodeOptions full;
    full.compress = true;
    full.previous = &decimated.reference;
    Image422 changed = patternImage(kW, kH, 10);
    EncodedFrame second = encodeFrame(changed, full);
    std::vector<Bytes> stream{decimated.bytes, second.bytes};
    std::vector<std::string> files{write("dec0.raw", stream[0]), write("dec1.raw", stream[1])};

    std::string out = dir_.path("dec.bin");
    ASSERT_EQ(runTool(decodeArgs(files, "yuy2", out)).exitCode, 0);
    Bytes tool = readBytes(out);
    Bytes carried = decodeWithLibrary(stream, ZM4_FORMAT_YUY2, kW, kH).back();
    EXPECT_EQ(Bytes(tool.end() - static_cast<std::ptrdiff_t>(carried.size()), tool.end()), carried);
    // With a fresh state word per file the odd rows would be the frame's own.
    EXPECT_NE(carried, decodeWithLibrary({stream[1]}, ZM4_FORMAT_YUY2, kW, kH).back());
}

TEST_F(ToolDecode, DoubleSizeRgb24IsTheHalfSizeFrameResized)
{
    std::string out = dir_.path("big.ppm");
    ToolResult r = runTool({"decode", paths_[0], paths_[1], "-f", "rgb24", "-s", "352x288", "-o", out});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    RgbImage big = readPpm(out);
    ASSERT_EQ(big.width, 2 * kW);
    ASSERT_EQ(big.height, 2 * kH);
    Bytes half = decodeWithLibrary({frames_[0], frames_[1]}, ZM4_FORMAT_RGB24, kW, kH).back();
    Bytes doubled(half.size() * 4);
    std::copy(half.begin(), half.end(), doubled.begin());
    Resize_by_2_PolyPhase(doubled.data(), kH, kW);
    EXPECT_EQ(big.rgb, topDownRgb(ZM4_FORMAT_RGB24, doubled, 2 * kW, 2 * kH));

    // The same size as the frame is plain decoding.
    std::string same = dir_.path("same.ppm");
    ASSERT_EQ(runTool({"decode", paths_[0], "-f", "rgb24", "-s", "176x144", "-o", same}).exitCode, 0);
    EXPECT_EQ(readPpm(same).width, kW);
}

TEST_F(ToolDecode, UsageErrorsExitTwoBeforeWritingAnything)
{
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::string out = dir_.path("out.y4m");
    const std::string f = paths_[0];
    std::vector<Case> cases = {
        {{"decode", f, "-f", "bgr24", "-o", out},
         "zm4: decode: unknown format 'bgr24', expected one of rgb24, rgb32, rgb555, i420, yv12, yuy2, uyvy"},
        {{"decode", f, "-f", "rgb24", "-o", out},
         "zm4: decode: rgb24 is an RGB format: write it to .png or .ppm, not .y4m"},
        {{"decode", f, "-f", "i420", "-o", dir_.path("out.png")},
         "zm4: decode: i420 is a YUV format: write it to .y4m or a raw file"},
        {{"decode", f, "-o", out}, "zm4: decode: no output format given"},
        {{"decode", f, "-f", "i420"}, "zm4: decode: no output file given"},
        {{"decode", "-f", "i420", "-o", out}, "zm4: decode: no frame file given"},
        {{"decode", f, "-f", "i420", "-s", "352by288", "-o", out}, "zm4: decode: bad size '352by288'"},
        {{"decode", f, "-f", "i420", "-o", out, "-f"}, "zm4: decode: option --format needs a value FORMAT"},
        {{"decode", f, "-f", "i420", "-s", "352x288", "-o", out},
         "zm4: " + f + ": -s 352x288 doubles the 176x144 frame, which only rgb24 can do"},
        {{"decode", f, "-f", "rgb24", "-s", "200x100", "-o", dir_.path("out.ppm")},
         "zm4: " + f + ": frame is 176x144; -s must be 176x144 or, for rgb24, 352x288"},
    };
    for (const Case &c : cases) {
        ToolResult r = runTool(c.args);
        EXPECT_EQ(r.exitCode, 2) << c.message;
        EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << "got: " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(out));
    EXPECT_FALSE(std::filesystem::exists(dir_.path("out.png")));
    EXPECT_FALSE(std::filesystem::exists(dir_.path("out.ppm")));
}

TEST_F(ToolDecode, BadFrameStopsTheStreamWithOneLineNamingTheFile)
{
    EncodeOptions faulty;
    faulty.fault = {FaultKind::NoEndOfLine, 17, 0x00};
    Bytes bad = encodeFrame(patternImage(kW, kH, 11), faulty).bytes;
    std::string badPath = write("frame2.raw", bad);
    std::string out = dir_.path("clip.y4m");
    ToolResult r = runTool(decodeArgs({paths_[0], badPath, paths_[1]}, "i420", out));
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.err, "zm4: " + badPath + ": line 17: line does not end with 0xFD (status 3)\n");
    // No half-written stream is left behind.
    EXPECT_FALSE(std::filesystem::exists(out));

    Bytes garbage(5000, 0xAB);
    std::string garbagePath = write("garbage.raw", garbage);
    ToolResult g = runTool(decodeArgs({garbagePath}, "rgb24", dir_.path("g.png")));
    EXPECT_EQ(g.exitCode, 4);
    EXPECT_EQ(g.err,
              "zm4: " + garbagePath + ": no frame magic (0x19 0x68) in the first 64 bytes (status 4)\n");

    Bytes cut(frames_[0].begin(), frames_[0].begin() + 20000);
    std::string cutPath = write("cut.raw", cut);
    ToolResult c = runTool(decodeArgs({cutPath}, "rgb24", dir_.path("c.png")));
    EXPECT_EQ(c.exitCode, 4);
    EXPECT_EQ(c.err.rfind("zm4: " + cutPath + ": ", 0), 0u) << c.err;
    EXPECT_EQ(std::count(c.err.begin(), c.err.end(), '\n'), 1) << c.err;
    EXPECT_FALSE(std::filesystem::exists(dir_.path("c.png")));
}

TEST_F(ToolDecode, FrameOfAnotherSizeOrAMissingFileEndsTheStream)
{
    std::string bigger = write("big.raw", encodeFrame(patternImage(352, 288, 12), EncodeOptions{}).bytes);
    std::string out = dir_.path("mixed.bin");
    ToolResult r = runTool(decodeArgs({paths_[0], bigger}, "rgb24", out));
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.err,
              "zm4: " + bigger + ": frame is 352x288, but the stream is 176x144 (set by its first frame)\n");
    EXPECT_FALSE(std::filesystem::exists(out));

    std::string missing = dir_.path("nothere.raw");
    ToolResult m = runTool(decodeArgs({paths_[0], missing}, "rgb24", dir_.path("m.png")));
    EXPECT_EQ(m.exitCode, 1);
    EXPECT_EQ(m.err, "zm4: " + missing + ": No such file or directory\n");

    ToolResult w = runTool(decodeArgs({paths_[0]}, "rgb24", dir_.path("no/such/dir/out.ppm")));
    EXPECT_EQ(w.exitCode, 1);
    EXPECT_NE(w.err.find("No such file or directory"), std::string::npos) << w.err;
}

} // namespace
} // namespace zm4::cli::testing
