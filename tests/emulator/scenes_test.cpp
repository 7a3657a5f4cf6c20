// Scenes, and how the camera's lamps and automatic exposure act on them.

#include <gtest/gtest.h>

#include "tests/emulator/emu_test_util.h"

namespace zm4::emu::test {
namespace {

double meanLuma(const Image422 &image)
{
    double sum = 0;
    for (size_t i = 0; i < image.data.size(); i += 2)
        sum += image.data[i];
    return sum / (static_cast<double>(image.data.size()) / 2.0);
}

TEST(Scenes, SpecimenIsDeterministicAndDriftsSlowly)
{
    auto a = makeSpecimenScene(1);
    auto b = makeSpecimenScene(1);
    Image422 x(352, 288), y(352, 288), z(352, 288);
    a->render(100, x);
    b->render(100, y);
    EXPECT_EQ(x.data, y.data);
    b->render(101, z);
    EXPECT_NE(x.data, z.data);
    size_t changed = 0;
    for (size_t i = 0; i < x.data.size(); ++i)
        changed += std::abs(int(x.data[i]) - int(z.data[i])) > 8;
    EXPECT_LT(changed, x.data.size() / 10); // one frame moves a fraction of a pixel
    EXPECT_TRUE(a->lit());

    auto other = makeSpecimenScene(2);
    other->render(100, z);
    EXPECT_NE(x.data, z.data);

    // The 176 x 144 mode sees the same field at half the resolution.
    Image422 small(176, 144);
    a->render(100, small);
    EXPECT_NEAR(meanLuma(small), meanLuma(x), 3.0);
    EXPECT_NEAR(a->stats(100).y, meanLuma(x), 6.0);
}

TEST(Scenes, TextFormsAndImageFiles)
{
    std::string error;
    EXPECT_EQ(makeScene("bars", &error)->name(), "bars");
    auto flat = makeScene("flat:16,128,240", &error);
    ASSERT_TRUE(flat);
    Image422 image(8, 2);
    flat->render(0, image);
    EXPECT_EQ(std::vector<uint8_t>(image.data.begin(), image.data.begin() + 4),
              (std::vector<uint8_t>{16, 128, 16, 240}));
    for (const char *bad :
         {"flat:1,2", "flat:1,2,256", "flat:a,b,c", "specimen:x", "fog", "file:/nonexistent.ppm"}) {
        error.clear();
        EXPECT_EQ(makeScene(bad, &error), nullptr) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }

    // A 2 x 1 image: white then red, converted with the video-range matrix;
    // each source pixel covers two sensor pixels.
    const std::string ppm("P6\n# test\n2 1\n255\n\xFF\xFF\xFF\xFF\x00\x00", 24);
    auto picture = makeImageSceneFromBytes(std::vector<uint8_t>(ppm.begin(), ppm.end()), &error);
    ASSERT_TRUE(picture) << error;
    EXPECT_FALSE(picture->lit());
    Image422 out(4, 2);
    picture->render(0, out);
    EXPECT_EQ((std::vector<int>{out.row(1)[0], out.row(1)[2], out.row(1)[5], out.row(1)[7]}),
              (std::vector<int>{235, 235, 90, 240}));
    EXPECT_NEAR(out.row(1)[4], 81, 1); // 81.5 exactly; integer matrices round either way
    for (const std::string bad :
         {"P5\n2 1\n255\n", "P6\n2 1\n255\n\x01", "P6\n0 1\n255\n", "P6\n2 1\n70000\n"}) {
        error.clear();
        EXPECT_EQ(makeImageSceneFromBytes(std::vector<uint8_t>(bad.begin(), bad.end()), &error), nullptr)
            << bad;
        EXPECT_FALSE(error.empty());
    }
}

// Runs the powered camera with the lamps at a level and reads its meter.
struct Meter {
    uint16_t coarse;
    uint8_t lightLevel;
    uint8_t headerLuma;
};

Meter settle(int lampLevel, std::array<uint8_t, 4> clock = {0, 1, 0, 0})
{
    Camera camera;
    startCamera(camera, 0);
    writeCommand(camera, kWriteVCReg, {0x90, 0x8F, 0x50, 0}, 0);
    writeCommand(camera, kWriteMCPort, {2, 0, static_cast<uint8_t>(0xE0 | lampLevel), 0}, 0);
    writeCommand(camera, kSetSensorFPS, clock, 0);
    writeCommand(camera, kSetROI, {0, 4, 0, 4}, 0);
    uint8_t luma = 0;
    camera.setFrameObserver([&](const CapturedFrame &f) { luma = f.bytes[0x1F]; });
    camera.advanceTo(3000);
    writeCommand(camera, kGrabFrame, {0, 0, 0, 0}, 3000);
    camera.advanceTo(3300);
    const Reply regs = readCommand(camera, kReadVPRegs, {kVpLightLevel, kVpExposureError, 0, 0}, 3300);
    return {camera.coarse(), regs.data[0], luma};
}

TEST(AutomaticExposure, SteersTheCoarseValueToTheTargetAndReportsTheLight)
{
    const Meter bright = settle(31);
    EXPECT_LT(bright.coarse, 302);
    EXPECT_NEAR(bright.headerLuma, 68 + 50, 6);
    EXPECT_GT(bright.lightLevel, 90);

    const Meter dim = settle(2);
    EXPECT_EQ(dim.coarse, 302);
    EXPECT_LT(dim.lightLevel, 90);
    EXPECT_LT(dim.headerLuma, 100);

    // A slower sensor clock gathers more light per coarse step.
    const Meter halfLit = settle(12);
    const Meter halfLitSlow = settle(12, {1, 1, 0, 0});
    EXPECT_LT(halfLitSlow.coarse, halfLit.coarse);
    // The light itself is the same; only the drifting specimen moves the meter a little.
    EXPECT_NEAR(halfLitSlow.lightLevel, halfLit.lightLevel, 3);
}

TEST(AutomaticExposure, FlickerControlBacklightAndColourBalance)
{
    Camera camera;
    startCamera(camera, 0);
    // With flicker control the exposure is a whole number of light periods less one.
    writeCommand(camera, kFlickerCtrl, {1, 46, 141, 0}, 0);
    camera.advanceTo(2000);
    EXPECT_EQ((camera.coarse() + 1) % 46, 0) << camera.coarse();
    writeCommand(camera, kFlickerCtrl, {0, 0, 40, 0}, 2000);

    // Backlight compensation opens the exposure up.
    camera.advanceTo(4000);
    const uint16_t normal = camera.coarse();
    writeDataCommand(camera, kSetExposure, {0, 0, 0, 1}, {0, 0, 0, 0, 0, 0, 0, 0}, 4000);
    camera.advanceTo(6000);
    EXPECT_GT(camera.coarse(), normal + 5);

    // The specimen is stained reddish: automatic balance lowers the red gain,
    // and a fixed balance keeps what it has.
    EXPECT_LT(camera.colourBalance()[0], 30);
    writeCommand(camera, kSetColourBalance, {1, 30, 3, 50}, 6000);
    writeCommand(camera, kSetColourBalance, {3, 0, 0, 0}, 6000);
    camera.advanceTo(8000);
    EXPECT_EQ(camera.colourBalance(), (std::array<uint8_t, 3>{30, 3, 50}));

    // Fixed exposure: the meter still reads, the value stays.
    writeDataCommand(camera, kSetExposure, {0, 3, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}, 8000);
    const uint16_t fixed = camera.coarse();
    writeCommand(camera, kWriteVCReg, {0x90, 0x8F, 0x50, 0}, 8000);
    writeCommand(camera, kWriteMCPort, {2, 0, 0xE1, 0}, 8000);
    camera.advanceTo(10000);
    EXPECT_EQ(camera.coarse(), fixed);
    EXPECT_GT(static_cast<int8_t>(camera.vpRegister(kVpExposureError)), 40);
}

} // namespace
} // namespace zm4::emu::test
