// zm4 capture, snapshot, info, controls, get and set on the emulated camera in
// simulated time: the delivered pixels of every format against the camera's
// own frames decoded by 'zm4 decode', a Y4M pipe of the colour bars, the
// properties as the driver answers them and persists them, a fault the driver
// recovers from, and every user mistake refused in one line with nothing lost.
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "emulator/scenes.h"
#include "tests/tools/tool_fixtures.h"
#include "tests/tools/tool_runner.h"

namespace zm4::cli::testing {
namespace {

class ToolCapture : public ::testing::Test {
protected:
    ToolResult zm4(std::vector<std::string> args)
    {
        if (std::find(args.begin(), args.end(), "--registry") == args.end())
            args.insert(args.end(), {"--registry", dir_.path("registry.reg")});
        return runTool(args);
    }
    TempDir dir_;
};

TEST_F(ToolCapture, EveryFormatDeliversTheCameraFramesAsDecodedApart)
{
    for (const auto &[format, size] : {std::pair{"rgb24", "176x144"},
                                       {"rgb24", "704x576"},
                                       {"rgb555", "176x144"},
                                       {"i420", "176x144"},
                                       {"yv12", "176x144"},
                                       {"uyvy", "176x144"},
                                       {"yuy2", "352x288"}}) {
        const std::string tag = std::string(format) + "-" + size;
        ToolResult run = zm4({"capture", "--simulated", "-n", "4", "-p", format, "-s", size, "-o",
                              dir_.path(tag + ".raw"), "--camera-frames", dir_.path(tag + "-cam%d.raw")});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.err.substr(0, run.err.find(" in ")),
                  "capture: 4 frames of " + std::string(format) + " " + size);
        EXPECT_NE(run.err.find(
                      "\n  fillers 0, crises 0, camera frames not delivered 0, camera packets not polled 0\n"
                      "  problems: none\n"),
                  std::string::npos)
            << run.err;
        // The camera sent exactly the frames delivered; decoded as one stream
        // by the decoder alone they give the same bytes.
        std::vector<std::string> decode = {
            "decode", "-f", format, "-s", size, "-o", dir_.path(tag + "-ref.raw")};
        for (int i = 0; i < 4; ++i)
            decode.push_back(dir_.path(tag + "-cam" + std::to_string(i) + ".raw"));
        ASSERT_EQ(runTool(decode).exitCode, 0) << tag;
        EXPECT_FALSE(std::filesystem::exists(dir_.path(tag + "-cam4.raw"))) << tag;
        Bytes delivered = readBytes(dir_.path(tag + ".raw"));
        EXPECT_EQ(delivered.size() % 4, 0u);
        EXPECT_TRUE(delivered == readBytes(dir_.path(tag + "-ref.raw"))) << tag;
    }
}

TEST_F(ToolCapture, SnapshotIsTheFrameAfterTheSkippedOnesDoubled)
{
    ToolResult run = zm4({"snapshot", "--simulated", "--skip", "2", "-s", "704x576", "-o",
                          dir_.path("snap.png"), "--camera-frames", dir_.path("cam%d.raw")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ASSERT_EQ(runTool({"decode", "-f", "rgb24", "-s", "704x576", "-o", dir_.path("ref.png"),
                       dir_.path("cam0.raw"), dir_.path("cam1.raw"), dir_.path("cam2.raw")})
                  .exitCode,
              0);
    RgbImage snap = readPng(dir_.path("snap.png"));
    EXPECT_EQ(snap.width, 704u);
    EXPECT_TRUE(snap.rgb == readPng(dir_.path("ref.png")).rgb);
}

TEST_F(ToolCapture, StandardOutputCarriesAY4mStreamOfTheBars)
{
    ToolResult run = zm4({"capture", "--simulated", "-n", "3", "-p", "yuy2", "-s", "176x144", "--scene",
                          "bars", "--rate", "15", "-o", "-"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    Y4mStream y4m = readY4m(dir_.write("pipe.y4m", run.out));
    EXPECT_EQ(y4m.header, "YUV4MPEG2 W176 H144 F1000:66 Ip A1:1 C422 XCOLORRANGE=LIMITED");
    ASSERT_EQ(y4m.frames.size(), 3u);
    for (const Bytes &frame : y4m.frames) {
        // Planes Y, Cb, Cr; eight bars of 22 pixels (11 chroma samples) each.
        for (uint32_t row = 0; row < 144; row += 13)
            for (uint32_t col = 0; col < 176; ++col) {
                const emu::BarColour &bar = emu::kBarColours[col / 22];
                ASSERT_EQ(frame[row * 176 + col], bar.y) << row << "," << col;
                if (col % 2 == 0) {
                    ASSERT_EQ(frame[176 * 144 + row * 88 + col / 2], bar.u) << row << "," << col;
                    ASSERT_EQ(frame[176 * 144 * 3 / 2 + row * 88 + col / 2], bar.v) << row << "," << col;
                }
            }
    }
}

TEST_F(ToolCapture, PropertiesAsTheDriverAnswersAndPersistsThem)
{
    ToolResult info = zm4({"info", "--json"});
    ASSERT_EQ(info.exitCode, 0) << info.err;
    EXPECT_EQ(nlohmann::json::parse(info.out),
              nlohmann::json::parse(R"({"vendorId": 7802, "productId": 1, "firmwareVersion": 288,
                 "sensorVersion": 613, "alternateSetting": 3, "packetSize": 960, "formats": 6})"));

    ToolResult listing = zm4({"controls"});
    ASSERT_EQ(listing.exitCode, 0) << listing.err;
    for (const char *line :
         {"              brightness 0x00000000 (procamp int) : min=0 max=10000 step=100 default=5000 "
          "value=5000\n",
          "     compression_quality 0x00000103 (camera int) : default=5 value=5 mode=off\n",
          "          sensor_version 0x00000108 (camera int) : value=613 flags=read-only\n",
          "     white_balance_green 0x00000114 (camera int) : default=3 value=3 mode=auto\n"})
        EXPECT_NE(listing.out.find(line), std::string::npos) << line << listing.out;
    nlohmann::json controls = nlohmann::json::parse(zm4({"controls", "--json"}).out);
    ASSERT_EQ(controls.size(), 33u);
    EXPECT_EQ(controls[5]["name"], "frame_rate");
    EXPECT_EQ(controls[5]["mode"], "auto");
    EXPECT_FALSE(controls[5].contains("min")); // the driver's own set advertises no ranges

    // Set in one process (the driver clamps 12000), read in the next.
    ToolResult set = zm4({"set", "contrast=12000", "brightness=7000", "backlit=on", "exposure=manual"});
    ASSERT_EQ(set.exitCode, 0) << set.err;
    EXPECT_TRUE(set.out.starts_with("contrast: 10000\nbrightness: 7000\nbacklight_compensation: 0 (on)\n"
                                    "exposure_coarse: "))
        << set.out;
    EXPECT_TRUE(set.out.ends_with(" (manual)\n")) << set.out;
    ToolResult get = zm4({"get", "brightness", "contrast", "backlight_compensation", "saturation"});
    ASSERT_EQ(get.exitCode, 0) << get.err;
    EXPECT_EQ(get.out,
              "brightness: 7000\ncontrast: 10000\nbacklight_compensation: 0 (on)\nsaturation: 5000\n");
    EXPECT_NE(dir_.text("registry.reg").find("\"Brightness\"=dword:00001b58\n"), std::string::npos);
}

TEST_F(ToolCapture, AStallMidCaptureIsRecoveredAndReported)
{
    ToolResult run = zm4({"capture", "--simulated", "-t", "5", "-p", "i420", "-s", "176x144", "--fault",
                          "stall=300@2s", "-o", dir_.path("clip.y4m"), "--trace", dir_.path("trace.txt")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const size_t at = run.err.find("crises ");
    ASSERT_NE(at, std::string::npos) << run.err;
    EXPECT_GT(std::stoi(run.err.substr(at + 7)), 0) << run.err;
    const size_t frames = std::stoul(run.err.substr(run.err.find(": ") + 2));
    EXPECT_GT(frames, 100u);
    EXPECT_EQ(readY4m(dir_.path("clip.y4m")).frames.size(), frames);
    const std::string trace = dir_.text("trace.txt");
    EXPECT_GT(std::count(trace.begin(), trace.end(), '\n'), 50);
    EXPECT_NE(zm4({"registry"})
                  .out.find("  Crisis count: " + run.err.substr(at + 7, run.err.find(',', at) - at - 7)),
              std::string::npos);
}

TEST_F(ToolCapture, MistakesAreOneLineWithTheDocumentedCodeAndLoseNothing)
{
    const std::string keep = dir_.path("keep.y4m");
    writeBytes(keep, Bytes{'o', 'l', 'd'});
    const std::string damaged = dir_.path("damaged.reg");
    const std::string bad =
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=dword:zz\n";
    dir_.write("damaged.reg", bad);
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"capture", "-o", keep, "-p", "yuv2"},
         "2 unknown pixel format 'yuv2', the driver offers rgb24, rgb555, "
         "i420, yv12, uyvy, yuy2; did you mean 'yuy2'?"},
        {{"capture", "-o", keep, "-s", "353x288"},
         "2 size '353x288' is not offered for i420: width 8 to 352 in "
         "steps of 8, height 4 to 288 in steps of 4"},
        {{"capture", "-o", keep, "-p", "rgb24"}, "2 Y4M holds YUV frames"},
        {{"capture", "-o", keep, "-n", "0"}, "2 -n wants at least 1 frame"},
        {{"capture", "-o", keep, "-n", "2", "-t", "1"}, "2 -n and -t both given"},
        {{"capture", "-o", keep, "--rate", "20"},
         "2 --rate: the camera runs at 30.3, 25, 15.15, 12.5, 7.576"},
        {{"capture", "-o", keep, "--clock", "fast"}, "2 --clock takes 'sim' or 'real'"},
        {{"capture", "-o", keep, "--set", "brightnes=1"}, "2 unknown property 'brightnes'; did you mean"},
        {{"capture", "-o", keep, "--scene", "moon"}, "2 --scene: "},
        {{"capture", "-o", dir_.path("none/x.y4m"), "--simulated"},
         "1 " + dir_.path("none/x.y4m") + ": No such file"},
        {{"snapshot", "-o", dir_.path("s.png"), "-p", "i420"}, "2 a snapshot is an RGB picture"},
        {{"get", "brightnes"}, "2 unknown property 'brightnes'; did you mean 'brightness'?"},
        {{"set", "firmware_version=1"}, "2 firmware_version is read-only"},
        {{"set", "exposure=bright"}, "2 exposure_coarse=bright: expected a number, 'auto' or 'manual'"},
        {{"set", "brightness"}, "2 expected NAME=VALUE"},
        {{"controls", "--registry", damaged}, "1 " + damaged + " line 4: "},
    };
    for (const auto &[args, expected] : cases) {
        ToolResult r = zm4(args);
        const std::string command = args[0];
        EXPECT_EQ(std::to_string(r.exitCode), expected.substr(0, 1)) << args[1] << " " << r.err;
        const std::string where = expected[0] == '1' && command == "capture" ? "" : command + ": ";
        EXPECT_EQ(r.err.rfind("zm4: " + where + expected.substr(2), 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    EXPECT_EQ(dir_.text("keep.y4m"), "old");
    EXPECT_EQ(dir_.text("damaged.reg"), bad);
    EXPECT_FALSE(std::filesystem::exists(dir_.path("none")));
    EXPECT_FALSE(std::filesystem::exists(dir_.path("s.png")));
}

} // namespace
} // namespace zm4::cli::testing
