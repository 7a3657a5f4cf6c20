// Camera control against the emulated camera: the commands of a start and a
// stop, the timed sequences, the automatic frame rate, flicker arithmetic and
// compression, all read from the camera's command trace in simulated time.

#include <algorithm>
#include <functional>

#include "tests/camera/camera_test_env.h"

#include "emulator/scenes.h"
#include "transport/capture.h"

namespace {

using Commands = std::vector<std::string>;

class CameraControlTest : public CameraTestBase {
protected:
    void SetUp() override
    {
        // Flicker avoidance off and a fixed frame rate unless a test says otherwise.
        setValue("Flicker", 0);
        setValue("AutoFR", 0);
        CameraTestBase::SetUp();
    }
};

TEST_F(CameraControlTest, StartSendsTheFixedValuesThenEverySettingFromTheRegistryCentringTheWindow)
{
    setValue("Brightness", 7000);
    setValue("AcbGainR", 40);
    size_t from = mark();
    EXPECT_EQ(Camera_Start(dev(), 176, 144), 1u);

    Commands c = commandsSince(from);
    const Commands expected = {
        "04 0000 0000",                  // high power
        "C8 0100 0000",                  // format 0: 176 x 144 sensor window
        "C9 1600 2400",                  // window (0, 22, 0, 36)
        "AB 1814 1A1A",                  // fixed offsets 20, 24, 26, 26
        "CD 0000 0000 0309010302050302", // compression parameters
        "C3 0001 0000",                  // grab mode 1
        "01 0000 0000",                  // firmware version
        "A1 0000 0000",                  // sensor version
        "A3 2632 0032",                  // brightness 50 (sequence aims at 70), contrast 38, saturation 50
        "B2 0000 0000",                  // normal exposure: read back
        "A9 1618 3424",                  //   aperture 24, 22, 36, 52
        "AA 0000 0028",                  //   flicker control off
        "A4 0100 0001",                  //   exposure with the user's compensations (prefix)
        "B3 E260 F7FE 59F0FCE460000000", // default matrix of the 613 sensor
        "A6 2802 3203",                  // colour balance mode 2, red from the registry
        "A6 2801 3203",                  // and the gains applied
        "A4 0200 0000 0001B90000000000", // exposure mode 2, coarse 185, fine 1
        "A4 0000 0002 00000000DCD6D6E6", // base compensations
        "A4 0000 0001 00000000DCD6D6E6", // current compensations
        "A4 0100 0000 0001B90000000000", // stored exposure applied
    };
    ASSERT_EQ(c.size(), expected.size()) << ::testing::PrintToString(c);
    for (size_t i = 0; i < c.size(); ++i)
        EXPECT_EQ(c[i].rfind(expected[i], 0), 0u) << i << ": " << c[i];
    EXPECT_TRUE(camera().powered());
    EXPECT_EQ(dev()->camera.roiLeft, 0u);
    // High power settles for 50 ms; the polled wait ends in the millisecond after.
    EXPECT_EQ(timeOf(from, "C8") - timeOf(from, "04"), 51);

    // A smaller picture is centred in the sensor; configured tuning overrides.
    Camera_Stop(dev());
    setValue("ApCor", 30);
    setValue("GamCor", 7);
    from = mark();
    Camera_Start(dev(), 320, 240);
    c = commandsSince(from);
    EXPECT_EQ(Commands(c.begin() + 1, c.begin() + 3),
              (Commands{"C8 0101 0000", "C9 2A02 4206"})); // (2, 42, 6, 66)
    EXPECT_EQ(std::pair(dev()->camera.roiLeft, dev()->camera.roiTop), (std::pair<ULONG, ULONG>(16, 24)));
    EXPECT_EQ(Commands(c.begin() + 6, c.begin() + 8), (Commands{"A9 1E1E 1E1E", "BF 0014 0007"}));
}

TEST_F(CameraControlTest, StopReadsBackSavesAndPowersDown)
{
    setValue("Brightness", 7000);
    Camera_Start(dev(), 352, 288);
    Camera_SetExposure(dev(), 3, 0, 0, 0);
    Camera_SetExposure(dev(), 1, 120, 9, 1);
    size_t from = mark();
    EXPECT_EQ(Camera_Stop(dev()), 1u);

    EXPECT_EQ(codesSince(from), (Commands{"B1", "B2", "B1", "BF", "05"}));
    EXPECT_EQ(commandsSince(from)[3], "BF 0039 0009");
    EXPECT_FALSE(camera().powered());
    EXPECT_EQ(value("AcbGainR"), camera().colourBalance()[0]);
    EXPECT_EQ(value("ExpCoarse"), 120u);
    EXPECT_EQ(value("ExpGain"), 1u);
    EXPECT_EQ(value("AutoFRSave"), 1u);
    EXPECT_EQ(value("Brightness"), 7000u);
}

TEST_F(CameraControlTest, StartGoesOnThroughEveryStepWhenCommandsFail)
{
    // Every command reports an error: each is cleared and the start fails, but
    // still takes every one of its own steps (power, window, tuning, grab mode).
    camera().faults().statusError.on = true;
    const size_t from = mark();
    EXPECT_EQ(Camera_Start(dev(), 352, 288), 0u);
    Commands sent = codesSince(from);
    std::erase(sent, "0A");
    sent.resize(6);
    EXPECT_EQ(sent, (Commands{"04", "C8", "C9", "AB", "CD", "C3"}));
    camera().faults().statusError.on = false;
}

// Capture control reports camera control's 1/0 as a status: success, or
// STATUS_UNSUCCESSFUL while the camera's control transfers fail; a grab is
// outstanding after a request either way.
TEST_F(CameraControlTest, CaptureTurnsCameraResultsIntoStatuses)
{
    DEVICE_EXTENSION *d = dev();
    ULONG full = 0, nextGrab = 0;
    EXPECT_EQ(Capture_Initialise(d), STATUS_SUCCESS);
    for (bool failing : {false, true}) {
        SCOPED_TRACE(failing);
        const NTSTATUS want = failing ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
        camera().faults().ctrlFail.on = failing;
        EXPECT_EQ(Capture_Start(d, 352, 288), want);
        d->captureOnDemand = 1;
        d->captureGrabOutstanding = 0;
        EXPECT_EQ(Capture_FrameRequested(d, &full), want);
        EXPECT_EQ(d->captureGrabOutstanding, 1u);
        EXPECT_EQ(Capture_FrameUploadComplete(d, &full, 0, 0, &nextGrab), want);
        EXPECT_EQ(nextGrab, 1u);
        d->captureGrabOutstanding = 0;
        EXPECT_EQ(Capture_FrameProcessComplete(d, 0, 1, 0), want);
        camera().faults().ctrlFail.on = false;
        EXPECT_EQ(Capture_Stop(d), STATUS_SUCCESS);
    }
}

// Every operation of a running camera waits for the camera lock (here held
// for 300 ms by someone else), succeeds and lets go of the lock.
TEST_F(CameraControlTest, EveryOperationTakesTheCameraLockAndLetsGo)
{
    DEVICE_EXTENSION *d = dev();
    Camera_Start(d, 352, 288);
    ULONG full = 0, value = 0, version = 0;
    UCHAR byte = 0;
    USHORT coarse = 0;
    const std::function<ULONG()> ops[] = {
        [&] { return Camera_Update(d, &full); },
        [&] { return Camera_Capture(d); },
        [&] { return Camera_SetSpeed(d, 2, 0); },
        [&] { return Camera_GetFwVersion(d, &version); },
        [&] { return Camera_SetColourParams(d, 6000, 5000, 5000); },
        [&] { return Camera_SetROI(d, 1, 10, 10); },
        [&] { return Camera_SetFlicker(d, 1, 0); },
        [&] { return Camera_SetBacklit(d, 1); },
        [&] { return Camera_GetACB(d, &byte, &byte, &byte); },
        [&] { return Camera_SetACB(d, 2, 0, 0, 0); },
        [&] { return Camera_GetExposure(d, &coarse, &byte, &byte); },
        [&] { return Camera_SetExposure(d, 1, 100, 5, 0); },
        [&] { return Camera_SetGainCeiling(d, 2); },
        [&] { return Camera_SetBaseComps(d, 220, 214, 214, 230); },
        [&] { return Camera_SetMatrix(d, 0x010203, 0x040506, 0x070809); },
        [&] { return Camera_GetGPIO(d, &value); },
        [&] { return Camera_SetGPIO(d, 0x1F0000); },
        [&] { return Camera_SerialStart(d); },
        [&] { return Camera_SerialWrite(d, 0x55); },
        [&] { return Camera_SerialRead(d, 0, &byte); },
        [&] { return Camera_SerialStop(d); },
        [&] { return Camera_SetCompression(d, 1, 5, 5); },
        [&] { return Camera_Stop(d); },
    };
    zm4::host::Scheduler &scheduler = rig_.kernel().scheduler();
    for (size_t i = 0; i < std::size(ops); ++i) {
        Extns_Excluder_Acquire(&d->camera.cameraLock, "test");
        const int64_t held = scheduler.now();
        scheduler.postAfter(300 * zm4::host::kMillisecond,
                            [d] { Extns_Excluder_Release(&d->camera.cameraLock); });
        EXPECT_EQ(ops[i](), 1u) << "operation " << i;
        EXPECT_GE(scheduler.now() - held, 300 * zm4::host::kMillisecond) << "operation " << i;
        EXPECT_TRUE(lockFree()) << "operation " << i;
    }
}

TEST_F(CameraControlTest, CommandsFailAndSendNothingWhileStopped)
{
    DEVICE_EXTENSION *d = dev();
    ULONG full = 0;
    UCHAR byte = 0;
    USHORT coarse = 0;
    size_t from = mark();
    EXPECT_EQ(Camera_SetColourParams(d, 5000, 5000, 5000), 0u);
    EXPECT_EQ(Camera_SetFlicker(d, 1, 0), 0u);
    EXPECT_EQ(Camera_SetBacklit(d, 1), 0u);
    EXPECT_EQ(Camera_GetACB(d, &byte, nullptr, nullptr), 0u);
    EXPECT_EQ(Camera_SetACB(d, 2, 0, 0, 0), 0u);
    EXPECT_EQ(Camera_GetExposure(d, &coarse, nullptr, nullptr), 0u);
    EXPECT_EQ(Camera_SetExposure(d, 2, 0, 0, 0), 0u);
    EXPECT_EQ(Camera_SetGainCeiling(d, 2), 0u);
    EXPECT_EQ(Camera_SetBaseComps(d, 220, 214, 214, 230), 0u);
    EXPECT_EQ(Camera_SetCompression(d, 1, 5, 5), 0u);
    EXPECT_EQ(Camera_Update(d, &full), 0u);
    EXPECT_EQ(Camera_Capture(d), 0u);
    EXPECT_TRUE(commandsSince(from).empty());
    EXPECT_EQ(d->camera.backlitStep, 0u);
}

TEST_F(CameraControlTest, ReportedCameraErrorIsClearedAndFailsTheOperation)
{
    Camera_Start(dev(), 352, 288);
    size_t from = mark();
    EXPECT_EQ(Camera_SetACB(dev(), 7, 0, 0, 0), 0u); // a mode the camera refuses
    EXPECT_EQ(commandsSince(from), (Commands{"A6 0007 0000", "0A FE04 0000"}));
    EXPECT_EQ(camera().statusByte(4), 0);
}

TEST_F(CameraControlTest, WindowPortsAndButtonAreServedAtTheNextUpdate)
{
    Camera_Start(dev(), 176, 144);
    ULONG full = 0;
    Camera_Update(dev(), &full);

    // A window at (13, 7) needs the full sensor and is sent rounded to (8, 4).
    Camera_SetROI(dev(), 1, 7, 13);
    size_t from = mark();
    full = 0;
    Camera_Update(dev(), &full);
    EXPECT_EQ(full, 1u);
    EXPECT_EQ(commandsSince(from), (Commands{"C8 0101 0000", "C9 1701 2501"}));
    Camera_SetROI(dev(), 1, 7, 13); // unchanged: nothing to apply
    EXPECT_EQ(dev()->camera.roiChanged, 0u);
    Camera_SetROI(dev(), 1, 300, 300); // past the sensor's edges: moved back to them
    from = mark();
    Camera_Update(dev(), &full);
    EXPECT_EQ(commandsSince(from), (Commands{"C8 0101 0000", "C9 2C16 4824"}));
    Camera_SetROI(dev(), 0, 0, 0); // off: the picture's own window again
    from = mark();
    Camera_Update(dev(), &full);
    EXPECT_EQ(commandsSince(from), (Commands{"C8 0100 0000", "C9 1600 2400"}));

    // While frames flow the port bytes are cached for 400 ms and refreshed by
    // every update.
    dev()->xferRunning = 1;
    ULONG gpio = 0;
    from = mark();
    Camera_GetGPIO(dev(), &gpio);
    Camera_GetGPIO(dev(), &gpio);
    EXPECT_EQ(codesSince(from), (Commands{"23"}));
    EXPECT_EQ(gpio >> 24, camera().port(3));

    // A held button is latched once and answered with a pulse on port 3.
    camera().setButtonHeld(true);
    Camera_ButtonCheckSet(dev(), 1);
    from = mark();
    full = 0;
    Camera_Update(dev(), &full);
    // Compression (capture value 5) comes back after the window's full frame.
    EXPECT_EQ(commandsSince(from),
              (Commands{"23 0000 0000", "24 DF03 00DF", "24 FF03 00FF", "CB 1401 0040", "CA 0001 0000"}));
    EXPECT_EQ(Camera_ButtonCurrentStateGet(dev()), 1u);
    EXPECT_EQ(Camera_ButtonStateGet(dev()), 1u);
    EXPECT_EQ(Camera_ButtonStateGet(dev()), 0u);

    // The port cache holds up to 400 ms after its read and not a tick longer.
    Camera_ButtonCheckSet(dev(), 0);
    dev()->camera.portsValid = 0;
    from = mark();
    auto portReads = [&] {
        const Commands codes = codesSince(from);
        return std::count(codes.begin(), codes.end(), "23");
    };
    Camera_GetGPIO(dev(), &gpio);
    rig_.advanceDriverTime(400);
    Camera_GetGPIO(dev(), &gpio);
    EXPECT_EQ(portReads(), 1);
    rig_.advanceDriverTime(100);
    Camera_GetGPIO(dev(), &gpio);
    EXPECT_EQ(portReads(), 2);
}

TEST_F(CameraControlTest, FrameRateChangeRunsItsStepsWithTheirWaits)
{
    Camera_Start(dev(), 352, 288);
    Camera_SetExposure(dev(), 3, 0, 0, 0);   // automatic exposure off: a steady reading
    Camera_SetExposure(dev(), 1, 200, 0, 0); // coarse 200 at index 1
    size_t from = mark();
    Camera_SetSpeed(dev(), 3, 0);

    ticks(3);
    EXPECT_EQ(Camera_Capture(dev()), 0u); // no grab while the clock changes
    ticks(10);

    int64_t step1 = timeOf(from, "CA 0000 0000");  // compression suspended
    int64_t clock = timeOf(from, "A7 0101 0000");  // index 3: divisor 1, 33-ms base
    int64_t resume = timeOf(from, "A4 0100 0001"); // exposure carried over
    ASSERT_TRUE(step1 >= 0 && clock >= 0 && resume >= 0);
    EXPECT_GE(clock - step1, 142);
    EXPECT_GE(resume - clock, 340);
    // Half the frame period: 200 becomes 100 with the user's compensations.
    EXPECT_NE(timeOf(from, "A4 0100 0001 00006400DCD6D6E6"), -1);
    EXPECT_EQ(timeOf(from, "C1"), -1);
    EXPECT_EQ(camera().framePeriodMs(), 66);
    EXPECT_EQ(dev()->camera.frameRateStep, 0u);
    EXPECT_EQ(dev()->camera.previousFrameRate, 3u);
}

TEST_F(CameraControlTest, BacklightAndBrightnessWaitForStartThenProgramTheRegistersOfTheirTarget)
{
    setValue("Brightness", 0);
    camera().setVpRegister(56, 0x40); // video processor busy
    Camera_Start(dev(), 352, 288);
    int64_t start = camera().trace().entries().back().timeMs;
    size_t from = mark();

    ticks(20);
    EXPECT_GE(timeOf(from, "") - start, 350);
    EXPECT_NE(timeOf(from, "A4 0000 0200 0000000000000000"), -1); // backlight off
    EXPECT_NE(timeOf(from, "BE 0038 0000"), -1);                  // busy polled
    EXPECT_EQ(timeOf(from, "BF 000A"), -1);                       // nothing written while busy

    camera().setVpRegister(56, 0);
    ticks(10);
    Commands c = commandsSince(indexOf(from, "BF FD28 0000"));
    ASSERT_GE(c.size(), 5u);
    EXPECT_EQ(Commands(c.begin(), c.begin() + 5),
              (Commands{"BF FD28 0000", "BF 000A 00E1", "BF 000B 0000", "BF 000C 00CC", "BF 003F 00FF"}));
    EXPECT_EQ(dev()->camera.brightnessStep | dev()->camera.backlitStep, 0u);

    // Later targets set VP registers 10, 11 and 12 to theirs.
    const std::pair<ULONG, Commands> cases[] = {
        {5000, {"BF 000A 0002", "BF 000B 0041", "BF 000C 00D9"}},
        {10000, {"BF 000A 0044", "BF 000B 007F", "BF 000C 00F2"}},
        // A negative property value is a huge target: every register at its top.
        {3329432100u, {"BF 000A 007F", "BF 000B 007F", "BF 000C 007F"}},
    };
    for (const auto &[brightness, registers] : cases) {
        from = mark();
        Camera_SetColourParams(dev(), brightness, 5000, 5000);
        ticks(10);
        c = commandsSince(indexOf(from, "BF FD28 0000"));
        ASSERT_GE(c.size(), 4u) << brightness;
        EXPECT_EQ(Commands(c.begin() + 1, c.begin() + 4), registers) << brightness;
        EXPECT_EQ(dev()->camera.brightnessStep, 0u);
    }
}

TEST_F(CameraControlTest, AutomaticFrameRateFollowsTheLight)
{
    setValue("AutoFR", 1);
    setValue("AutoFRSave", 3); // where the last run left it
    Camera_Start(dev(), 352, 288);
    EXPECT_EQ(dev()->camera.frameRate, 3u);
    EXPECT_EQ(dev()->camera.frameRateStep, 1u);
    auto run = [&](int seconds) {
        for (int s = 0; s < seconds; s += 2) {
            ticks(20);
            Camera_AutoFrameRate(dev());
            EXPECT_TRUE(lockFree());
        }
        ticks(20); // let a started change finish
    };

    camera().setScene(zm4::emu::makeFlatScene(20, 128, 128));
    run(12);
    EXPECT_EQ(dev()->camera.frameRate, 5u);
    EXPECT_EQ(camera().framePeriodMs(), 132);
    // At 132 ms a frame the brightness sequence waits past the next tick after suspending.
    size_t from = mark();
    Camera_SetColourParams(dev(), 5000, 5000, 5000);
    ticks(5);
    EXPECT_GE(timeOf(from, "BE 0038") - timeOf(from, "A4"), 142);

    camera().setScene(zm4::emu::makeFlatScene(235, 128, 128));
    run(16);
    EXPECT_EQ(dev()->camera.frameRate, 1u);
    EXPECT_EQ(camera().framePeriodMs(), 33);
    // With flicker avoidance, dark is an exposure error of 111 or more at a low light level.
    Camera_SetFlicker(dev(), 1, 0);
    for (int i = 0; i < 3; ++i) {
        camera().setVpRegister(4, 111);
        camera().setVpRegister(30, 0);
        Camera_AutoFrameRate(dev());
    }
    EXPECT_EQ(dev()->camera.frameRate, 3u);
    Camera_Stop(dev());
    EXPECT_EQ(value("AutoFRSave"), 3u);
}

TEST_F(CameraControlTest, FlickerModeSetsWholeLightPeriodsAndScalesCompensations)
{
    setValue("ApCor", 0x1E); // a configured aperture correction follows every exposure
    Camera_Start(dev(), 352, 288);
    Camera_SetExposure(dev(), 3, 0, 0, 0);
    Camera_SetBaseComps(dev(), 220, 214, 214, 230);
    Camera_SetFlicker(dev(), 1, 0); // 50 Hz: 92 steps a light period at index 1

    struct Case {
        ULONG mains, wanted, gain;
        const char *jump, *exposure;
    } cases[] = {
        {0, 200, 0, "AA 5C01 008D", "A4 0100 0001 0005B700E3DDDDEE"}, // C 183, compensations x 139/128
        {0, 50, 0, "AA 5C01 008D", "A4 0100 0001 00055B00DCD6D6E6"},  // C 91, base compensations
        {0, 700, 0, "AA 5C01 008D", "A4 0100 0001 00051301382C2C4C"}, // C 275, exposure capped at 550: x 2
        // 60 Hz: 4 x 76 - 1 = 303 is one step too long for the sensor: 227.
        {1, 310, 0, "AA 4C01 008D", "A4 0100 0001 0005E300FDF4F40A"},
        // Negative property values (coarse and gain) end at the longest period.
        {0, 0xFFFB, 0xFB, "AA 5C01 008D", "A4 0100 0001 00051301382C2C4C"},
    };
    for (const Case &k : cases) {
        Camera_SetFlicker(dev(), 1, k.mains);
        size_t from = mark();
        EXPECT_EQ(Camera_SetExposure(dev(), 0, k.wanted, 5, k.gain), 1u);
        EXPECT_EQ(commandsSince(from),
                  (Commands{"B2 0000 0000", "A9 1818 1416", k.jump, k.exposure, "A9 1E1E 1E1E"}))
            << k.wanted;
    }

    // Back to normal mode: exposure 250 at gain 1 (500) is halved once more
    // into the coarse range, the gain steps counting on from the camera's.
    Camera_SetFlicker(dev(), 0, 0);
    Camera_SetExposure(dev(), 1, 250, 5, 1);
    Camera_SetBaseComps(dev(), 220, 214, 214, 230);
    size_t from = mark();
    Camera_SetFlicker(dev(), 0, 0);
    const Commands sent = commandsSince(from);
    EXPECT_EQ(Commands(sent.end() - 2, sent.end()),
              (Commands{"A4 0100 0001 0205FA00DCD6D6E6", "A9 1E1E 1E1E"}));
}

TEST_F(CameraControlTest, DirectBrightnessControlSendsAtOnce)
{
    setValue("UseOldBrightness", 1);
    Camera_Initialise(dev());
    Camera_Start(dev(), 352, 288);
    Camera_SetFlicker(dev(), 1, 0);
    size_t from = mark();
    EXPECT_EQ(Camera_SetColourParams(dev(), 8000, 5000, 5000), 1u);
    Camera_SetBacklit(dev(), 1);
    // Brightness 80 and the flicker allowance min(250 - 80 - 59, 146) = 111.
    EXPECT_EQ(commandsSince(from),
              (Commands{"A3 2650 0032", "AA 5C01 006F", "A4 0000 0100 0000000000000000"}));
    EXPECT_EQ(dev()->camera.brightnessStep | dev()->camera.backlitStep, 0u);
}

TEST_F(CameraControlTest, CompressionTargetsReachTheCameraAfterOneFullFrame)
{
    struct Case {
        ULONG width, height, conference, conf, cap;
        std::array<uint8_t, 3> targets;
        bool compressed, decimated;
    } cases[] = {
        {352, 288, 0, 5, 1, {}, false, false},         {352, 288, 0, 5, 8, {1, 28, 64}, true, false},
        {352, 288, 1, 5, 1, {1, 12, 16}, true, false}, {352, 288, 0, 5, 2, {1, 6, 64}, true, false},
        {352, 288, 1, 10, 1, {1, 12, 81}, true, true}, {176, 144, 1, 10, 1, {1, 12, 81}, true, false},
    };
    for (const Case &k : cases) {
        Camera_Start(dev(), k.width, k.height);
        ULONG full[3] = {};
        const size_t from = mark();
        // The start's settings: one uncompressed frame, switched off outright
        // whatever the last run left.
        Camera_Update(dev(), &full[0]);
        EXPECT_NE(timeOf(from, "CA 0000 0000"), -1);
        EXPECT_EQ(Camera_SetCompression(dev(), k.conference, k.conf, k.cap), 1u);
        Camera_Update(dev(), &full[1]);
        EXPECT_FALSE(camera().compression());
        Camera_Update(dev(), &full[2]);
        EXPECT_EQ(full[0] & full[1], 1u);
        EXPECT_EQ(camera().compression(), k.compressed) << k.cap;
        EXPECT_EQ(Camera_CompressionEnabled(dev()), k.compressed ? 1u : 0u);
        if (k.compressed) {
            EXPECT_EQ(camera().compressionTargets(), k.targets);
            EXPECT_EQ(camera().decimation(), k.decimated);
        }
        Camera_Stop(dev());
    }
}

TEST(CameraIdentityTest, VersionRepliesDecideStatusChecksAndSensorType)
{
    struct Case {
        uint8_t versionByte2, vpVersionByte2;
        ULONG statusCheck, sensor;
    } cases[] = {{0, 0x09, 1, 613}, {1, 0x04, 0, 612}, {0, 0x0F, 1, 611}, {0, 0x32, 1, 611}};
    for (const Case &k : cases) {
        zm4::testing::CameraRigOptions options;
        options.camera.versionByte2 = k.versionByte2;
        options.camera.vpVersionByte2 = k.vpVersionByte2;
        zm4::testing::CameraRig rig(options);
        DEVICE_EXTENSION *d = rig.device();
        ASSERT_TRUE(NT_SUCCESS(USBIF_Initialise(d)));
        Camera_Initialise(d);
        EXPECT_EQ(d->statusCheck, k.statusCheck);
        auto stored = rig.registry().read(zm4::host::kDriverKeyPath, "ZIRCCamera");
        EXPECT_EQ(stored ? stored->asDword() : std::nullopt, k.statusCheck);

        // While stopped the query wakes the camera and puts it back to sleep.
        ULONG sensor = 0, firmware = 0;
        EXPECT_EQ(Camera_GetSensorVersion(d, &sensor), 1u);
        EXPECT_EQ(sensor, k.sensor);
        EXPECT_FALSE(rig.camera().powered());
        EXPECT_EQ(Camera_GetFwVersion(d, &firmware), 1u);
        EXPECT_EQ(firmware, 0x0120u);
        USBIF_Terminate(d);
        EXPECT_EQ(rig.driverBlocks(), 0u);
    }
}
} // namespace
