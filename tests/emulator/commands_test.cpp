// The camera's command set, driven with the setup packets the driver sends:
// replies, register effects, refusals.

#include <gtest/gtest.h>

#include "tests/emulator/emu_test_util.h"

namespace zm4::emu::test {
namespace {

class CommandsTest : public ::testing::Test {
protected:
    Camera camera;

    void powerUp() { writeCommand(camera, kGotoHiPower, {0, 0, 0, 0}, 0); }
    uint8_t errorByte() { return readCommand(camera, kGetCameraStatus, {0, 0, 0, 0}, 0).data[4]; }
};

TEST_F(CommandsTest, VersionRepliesCarryFirmwareAndSensorCodes)
{
    const Reply version = readCommand(camera, kGetVersion, {0, 0, 0, 0}, 0);
    ASSERT_TRUE(version.ok());
    EXPECT_EQ(version.result.bytes, 8u);
    EXPECT_EQ((version.data[0] << 8) | version.data[1], 0x0120);
    EXPECT_NE(version.data[2], 1); // status reporting available

    CameraOptions legacy;
    legacy.firmwareVersion = 0x011E;
    legacy.versionByte2 = 1;
    legacy.vpVersionByte2 = 0x04;
    Camera old(legacy);
    const Reply oldVersion = readCommand(old, kGetVersion, {0, 0, 0, 0}, 0);
    EXPECT_EQ((oldVersion.data[0] << 8) | oldVersion.data[1], 0x011E);
    EXPECT_EQ(oldVersion.data[2], 1);

    writeCommand(old, kGotoHiPower, {0, 0, 0, 0}, 0);
    EXPECT_EQ(readCommand(old, kGetVPVersion, {0, 0, 0, 0}, 0).data[2] & 0x0F, 4);
    powerUp();
    EXPECT_EQ(readCommand(camera, kGetVPVersion, {0, 0, 0, 0}, 0).data[2] & 0x0F, 9);
}

TEST_F(CommandsTest, PowerStateShowsInStatusAndGatesTheVideoProcessor)
{
    // Asleep: the video processor does not answer and commands to it are lost.
    Reply vp = readCommand(camera, kGetVPVersion, {0, 0, 0, 0}, 0);
    EXPECT_TRUE(vp.ok());
    EXPECT_EQ(vp.data, (std::array<uint8_t, 8>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    writeCommand(camera, kSetFormat, {0, 1, 0, 0}, 0);
    EXPECT_EQ(camera.videoSize(), 1);
    Reply status = readCommand(camera, kGetCameraStatus, {0, 0, 0, 0}, 0);
    EXPECT_EQ(status.data[0], 0);
    EXPECT_EQ(status.data[4], kErrorNotPowered);

    // Clearing the reported bits, as the driver's status check does.
    writeCommand(camera, kModifyCameraStatus, {4, static_cast<uint8_t>(~status.data[4]), 0, 0}, 0);
    EXPECT_EQ(errorByte(), 0);

    powerUp();
    EXPECT_EQ(readCommand(camera, kGetCameraStatus, {0, 0, 0, 0}, 0).data[0], 1);
    writeCommand(camera, kSetFormat, {0, 1, 0, 0}, 0);
    EXPECT_EQ(camera.videoSize(), 0);
    EXPECT_EQ(errorByte(), 0);

    writeCommand(camera, kGotoLoPower, {0, 0, 0, 0}, 0);
    EXPECT_FALSE(camera.powered());

    CameraOptions awake;
    awake.requirePower = false;
    Camera alwaysOn(awake);
    EXPECT_EQ(readCommand(alwaysOn, kGetVPVersion, {0, 0, 0, 0}, 0).data[2], 0x09);
}

TEST_F(CommandsTest, BadParametersRaiseTheErrorByteAndChangeNothing)
{
    powerUp();
    writeCommand(camera, kSetROI, {10, 5, 0, 72}, 0); // end before start
    EXPECT_EQ(errorByte(), kErrorBadParameter);
    EXPECT_EQ(camera.roi(), (std::array<uint8_t, 4>{0, 44, 0, 72}));

    writeCommand(camera, kModifyCameraStatus, {4, 0xFE, 0, 0}, 0);
    EXPECT_EQ(errorByte(), 0);
    writeCommand(camera, kSetROI, {0, 45, 0, 72}, 0); // wider than the sensor
    writeCommand(camera, kSetCompression, {2, 0, 0, 0}, 0);
    writeCommand(camera, kSetGrabMode, {2, 0, 0, 0}, 0);
    EXPECT_EQ(errorByte(), kErrorBadParameter);
    EXPECT_FALSE(camera.compression());
    EXPECT_EQ(camera.grabMode(), 1);
}

TEST_F(CommandsTest, RegisterWritesKeepMaskedBitsAndSetTheOthers)
{
    writeCommand(camera, kWriteVCReg, {0x12, 0x00, 0xA5, 0}, 0);
    writeCommand(camera, kWriteVCReg, {0x12, 0xF0, 0x03, 0}, 0);
    EXPECT_EQ(camera.vcRegister(0x12), 0xA3);

    // The link's isochronous switch: register 0xF1 bit 3.
    writeCommand(camera, kWriteVCReg, {0xF1, 0xF7, 0x00, 0}, 0);
    EXPECT_EQ(camera.vcRegister(0xF1) & 0x08, 0);
    writeCommand(camera, kWriteVCReg, {0xF1, 0xF7, 0x08, 0}, 0);
    EXPECT_EQ(camera.vcRegister(0xF1) & 0x08, 0x08);

    powerUp();
    writeCommand(camera, kWriteVPReg, {57, 0, 9, 0}, 0);
    writeCommand(camera, kWriteVPReg, {40, 0, 0xFF, 0}, 0);
    writeCommand(camera, kWriteVPReg, {40, 253, 0, 0}, 0);
    const Reply regs = readCommand(camera, kReadVPRegs, {57, 40, 9, 8}, 0);
    EXPECT_EQ(regs.data[0], 9);
    EXPECT_EQ(regs.data[1], 0xFD);
}

TEST_F(CommandsTest, BrightnessRegistersApplyUnlessTheProcessorIsBusy)
{
    powerUp();
    // Brightness 100 as the driver's sequence programs it: 68, 127, -14.
    auto program = [&] {
        writeCommand(camera, kWriteVPReg, {40, 253, 0, 0}, 0);
        writeCommand(camera, kWriteVPReg, {10, 0, 68, 0}, 0);
        writeCommand(camera, kWriteVPReg, {11, 0, 127, 0}, 0);
        writeCommand(camera, kWriteVPReg, {12, 0, static_cast<uint8_t>(-14), 0}, 0);
        writeCommand(camera, kWriteVPReg, {63, 0, 255, 0}, 0);
    };
    camera.setVpRegister(kVpBusy, 0x40);
    EXPECT_EQ(readCommand(camera, kReadVPRegs, {56, 0, 0, 0}, 0).data[0] & 0x40, 0x40);
    program();
    EXPECT_EQ(readCommand(camera, kReadVPRegs, {40, 0, 0, 0}, 0).data[0] & 0x02, 0x02);
    EXPECT_EQ(camera.brightnessOffset(), 0);

    camera.setVpRegister(kVpBusy, 0);
    program();
    EXPECT_EQ(readCommand(camera, kReadVPRegs, {40, 0, 0, 0}, 0).data[0] & 0x02, 0);
    EXPECT_EQ(camera.brightnessOffset(), (127 - 65) / 2);
}

TEST_F(CommandsTest, PortsButtonAndLamps)
{
    Reply ports = readCommand(camera, kReadMCPorts, {0, 0, 0, 0}, 0);
    EXPECT_EQ(ports.data[1] & 0x02, 0x02); // button up
    EXPECT_EQ(ports.data[2], 0xFF);        // port 2 undriven: lamps full
    EXPECT_EQ(camera.lampLevel(), 31);

    camera.setButtonHeld(true);
    EXPECT_EQ(readCommand(camera, kReadMCPorts, {0, 0, 0, 0}, 0).data[1] & 0x02, 0);
    camera.setButtonHeld(false);

    // A short press stays latched until the host pulses port 3 bit 5.
    camera.pressButton();
    EXPECT_EQ(readCommand(camera, kReadMCPorts, {0, 0, 0, 0}, 0).data[1] & 0x02, 0);
    writeCommand(camera, kWriteMCPort, {3, 0xDF, 0xDF, 0}, 0);
    EXPECT_EQ(readCommand(camera, kReadMCPorts, {0, 0, 0, 0}, 0).data[1] & 0x02, 0);
    writeCommand(camera, kWriteMCPort, {3, 0xFF, 0xFF, 0}, 0);
    EXPECT_EQ(readCommand(camera, kReadMCPorts, {0, 0, 0, 0}, 0).data[1] & 0x02, 0x02);
    EXPECT_EQ(camera.port3Pulses(), 1u);

    // The GPIO write: direction register, then port 2 = 0xE0 | value.
    writeCommand(camera, kWriteMCPort, {2, 0, 0xE5, 0}, 0);
    EXPECT_EQ(camera.lampLevel(), 31);
    writeCommand(camera, kWriteVCReg, {0x90, 0x8F, 0x50, 0}, 0);
    EXPECT_EQ(readCommand(camera, kReadMCPorts, {0, 0, 0, 0}, 0).data[2], 0xE5);
    EXPECT_EQ(camera.lampLevel(), 5);

    writeCommand(camera, kWriteMCPort, {4, 0, 0, 0}, 0);
    EXPECT_EQ(errorByte(), kErrorBadParameter);
}

TEST_F(CommandsTest, SerialPortCarriesBytesBothWays)
{
    const uint8_t early[] = {9};
    camera.serialReceive(early);
    EXPECT_EQ(readCommand(camera, kSerialRead, {1, 0, 0, 0}, 0).data[1], 0); // port stopped
    EXPECT_EQ(errorByte(), 0);
    ASSERT_EQ(readCommand(camera, kSerialRead, {0, 0, 0, 0}, 0).data[1], 0);
    writeCommand(camera, kSerialWrite, {0x41, 0, 0, 0}, 0);
    EXPECT_TRUE(camera.serialSent().empty());
    EXPECT_EQ(errorByte(), kErrorBadParameter);

    writeCommand(camera, kSerialStart, {0, 0, 0, 0}, 0);
    writeCommand(camera, kSerialWrite, {0x41, 0, 0, 0}, 0);
    writeCommand(camera, kSerialWrite, {0x42, 0x99, 0x99, 0x99}, 0);
    EXPECT_EQ(camera.serialSent(), (std::vector<uint8_t>{0x41, 0x42}));

    EXPECT_EQ(readCommand(camera, kSerialRead, {1, 0, 0, 0}, 0).data[0], 9);
    const uint8_t incoming[] = {7, 8};
    camera.serialReceive(incoming);
    Reply peek = readCommand(camera, kSerialRead, {0, 0, 0, 0}, 0);
    EXPECT_EQ(peek.data[0], 7);
    EXPECT_EQ(peek.data[1], 1);
    EXPECT_EQ(readCommand(camera, kSerialRead, {1, 0, 0, 0}, 0).data[0], 7);
    Reply second = readCommand(camera, kSerialRead, {1, 0, 0, 0}, 0);
    EXPECT_EQ(second.data[0], 8);
    EXPECT_EQ(second.data[2], 0);
    EXPECT_EQ(readCommand(camera, kSerialRead, {1, 0, 0, 0}, 0).data[1], 0);

    writeCommand(camera, kSerialStop, {0, 0, 0, 0}, 0);
    EXPECT_FALSE(camera.serialStarted());
}

TEST_F(CommandsTest, ExposureCommandsSetReadBackAndSwitchModes)
{
    powerUp();
    // Flicker mode's exposure write: values, current compensations.
    Reply r = writeDataCommand(camera, kSetExposure, {0, 1, 1, 0}, {1, 7, 250, 0, 227, 220, 220, 236}, 0);
    ASSERT_TRUE(r.ok());
    Reply e = readCommand(camera, kGetExposure, {0, 0, 0, 0}, 0);
    EXPECT_EQ(e.data, (std::array<uint8_t, 8>{1, 7, 250, 0, 227, 220, 220, 236}));

    writeDataCommand(camera, kSetExposure, {0, 3, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}, 0);
    EXPECT_FALSE(camera.autoExposure());
    writeDataCommand(camera, kSetExposure, {0, 2, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}, 0);
    EXPECT_TRUE(camera.autoExposure());
    writeDataCommand(camera, kSetExposure, {3, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}, 0);
    EXPECT_EQ(camera.gainCeiling(), 2);
    writeDataCommand(camera, kSetExposure, {0, 0, 0, 1}, {0, 0, 0, 0, 0, 0, 0, 0}, 0);
    EXPECT_TRUE(camera.backlight());
    writeDataCommand(camera, kSetExposure, {0, 0, 2, 0}, {0, 0, 0, 0, 210, 214, 214, 240}, 0);
    EXPECT_EQ(camera.baseCompensations(), (std::array<uint8_t, 4>{210, 214, 214, 240}));
    // The coarse value saturates at the longest exposure.
    writeDataCommand(camera, kSetExposure, {0, 1, 0, 0}, {0, 0, 0x2C, 0x01, 0, 0, 0, 0}, 0);
    EXPECT_EQ(camera.coarse(), 300);
    writeDataCommand(camera, kSetExposure, {0, 1, 0, 0}, {0, 0, 0xFF, 0x01, 0, 0, 0, 0}, 0);
    EXPECT_EQ(camera.coarse(), 302);
}

TEST_F(CommandsTest, ColourCommandsAreKept)
{
    powerUp();
    writeCommand(camera, kSetColourParams, {50, 38, 50, 0}, 0);
    EXPECT_EQ(camera.colourParams(), (std::array<uint8_t, 3>{50, 38, 50}));

    writeCommand(camera, kSetColourBalance, {1, 40, 5, 60}, 0);
    writeCommand(camera, kSetColourBalance, {3, 0, 0, 0}, 0);
    const Reply balance = readCommand(camera, kGetColourBalance, {0, 0, 0, 0}, 0);
    EXPECT_EQ(std::vector<uint8_t>(balance.data.begin(), balance.data.begin() + 4),
              (std::vector<uint8_t>{40, 5, 60, 3}));
    writeCommand(camera, kSetColourBalance, {1, 213, 0, 0}, 0);
    EXPECT_EQ(camera.colourBalance()[0], 40);

    writeDataCommand(camera, kSetSensorMatrix, {96, 0xE2, 0xFE, 0xF7}, {89, 0xF0, 0xFC, 0xE4, 96, 0, 0, 0},
                     0);
    EXPECT_EQ(camera.sensorMatrix(),
              (std::array<uint8_t, 9>{96, 0xE2, 0xFE, 0xF7, 89, 0xF0, 0xFC, 0xE4, 96}));
    writeCommand(camera, kSetApcor, {24, 24, 22, 20}, 0);
    writeCommand(camera, kFlickerCtrl, {1, 92, 141, 0}, 0);
    writeCommand(camera, kSetVLOffset, {20, 24, 26, 26}, 0);
    EXPECT_EQ(camera.apcor(), (std::array<uint8_t, 4>{24, 24, 22, 20}));
    EXPECT_EQ(camera.flickerControl(), (std::array<uint8_t, 3>{1, 92, 141}));
    EXPECT_EQ(camera.vlOffset(), (std::array<uint8_t, 4>{20, 24, 26, 26}));
}

TEST_F(CommandsTest, SensorClockSetsTheFramePeriod)
{
    powerUp();
    const std::pair<std::array<uint8_t, 4>, int> table[] = {
        {{0, 1, 0, 0}, 33}, {{0, 0, 0, 0}, 40}, {{1, 1, 0, 0}, 66}, {{1, 0, 0, 0}, 80}, {{2, 1, 0, 0}, 132},
    };
    for (const auto &[args, period] : table) {
        writeCommand(camera, kSetSensorFPS, args, 0);
        EXPECT_EQ(camera.framePeriodMs(), period);
    }
}

TEST_F(CommandsTest, CompressorSettingsAreKept)
{
    powerUp();
    writeCommand(camera, kSetFormat, {0, 0, 1, 0}, 0);
    EXPECT_EQ(camera.videoSize(), 0);
    EXPECT_FALSE(camera.subsampling422());
    EXPECT_EQ(camera.yuvOrder(), 1);
    EXPECT_EQ(camera.roi(), (std::array<uint8_t, 4>{0, 22, 0, 36})); // follows the sensor

    writeCommand(camera, kSetROI, {2, 20, 1, 35}, 0);
    EXPECT_EQ(camera.roi(), (std::array<uint8_t, 4>{2, 20, 1, 35}));
    writeCommand(camera, kSetROI, {0, 23, 0, 36}, 0);
    EXPECT_EQ(camera.roi()[1], 20);

    writeCommand(camera, kSetCompressionTarget, {1, 28, 64, 0}, 0);
    writeCommand(camera, kSetCompression, {1, 1, 0, 0}, 0);
    writeDataCommand(camera, kSetCompressionParams, {0, 0, 0, 0}, {3, 9, 1, 3, 2, 5, 3, 2}, 0);
    EXPECT_TRUE(camera.compression());
    EXPECT_TRUE(camera.decimation());
    EXPECT_EQ(camera.compressionTargets(), (std::array<uint8_t, 3>{1, 28, 64}));
    EXPECT_EQ(camera.compressionParams(), (std::array<uint8_t, 8>{3, 9, 1, 3, 2, 5, 3, 2}));
    // Stronger targets hide larger changes; target 1 at 0 turns skipping off.
    const int strong = camera.skipThreshold();
    writeCommand(camera, kSetCompressionTarget, {1, 6, 64, 0}, 0);
    EXPECT_GT(strong, camera.skipThreshold());
    EXPECT_GT(camera.skipThreshold(), 0);
    writeCommand(camera, kSetCompressionTarget, {0, 28, 64, 0}, 0);
    EXPECT_EQ(camera.skipThreshold(), 0);

    writeCommand(camera, kSetGrabMode, {0, 0, 0, 0}, 0);
    EXPECT_EQ(camera.grabMode(), 0);
    writeCommand(camera, kGrabFrame, {0, 0, 0, 0}, 0);
    EXPECT_TRUE(camera.grabPending());
    EXPECT_EQ(camera.counters().grabs, 1u);
}

TEST_F(CommandsTest, UnknownOrMisshapenRequestsStall)
{
    powerUp();
    for (int code : {0x00, 0x02, 0x06, 0x21, 0xA2, 0xC0, 0xCC, 0xFF}) {
        const auto request = static_cast<uint8_t>(code);
        EXPECT_EQ(writeCommand(camera, request, {0, 0, 0, 0}, 0).result.status, TransferStatus::kStall)
            << int(request);
        EXPECT_EQ(readCommand(camera, request, {0, 0, 0, 0}, 0).result.status, TransferStatus::kStall)
            << int(request);
    }
    // Right code, wrong direction or wrong length.
    EXPECT_EQ(writeCommand(camera, kGetVersion, {0, 0, 0, 0}, 0).result.status, TransferStatus::kStall);
    EXPECT_EQ(readCommand(camera, kGrabFrame, {0, 0, 0, 0}, 0).result.status, TransferStatus::kStall);
    unlockDataWrite(camera, 0);
    EXPECT_EQ(writeCommand(camera, kGrabFrame, {0, 0, 0, 0}, 0, {1, 2, 3, 4, 5, 6, 7, 8}).result.status,
              TransferStatus::kStall);
    EXPECT_EQ(writeCommand(camera, kSetExposure, {0, 0, 0, 0}, 0).result.status, TransferStatus::kStall);

    // A class request, and a vendor request to an interface.
    std::array<uint8_t, 8> buffer{};
    EXPECT_EQ(camera.controlTransfer({0xA1, kGetVersion, 0, 0, 8}, buffer, 0).status, TransferStatus::kStall);
    EXPECT_EQ(camera.controlTransfer({0xC1, kGetVersion, 0, 0, 8}, buffer, 0).status, TransferStatus::kStall);
    // A data buffer shorter than wLength is the caller's error.
    std::array<uint8_t, 4> small{};
    EXPECT_EQ(camera.controlTransfer({0xC0, kGetVersion, 0, 0, 8}, small, 0).status, TransferStatus::kFail);
}

TEST_F(CommandsTest, DataStageWritesNeedTheWriteLockCleared)
{
    powerUp();
    const std::vector<uint8_t> data{0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(writeCommand(camera, kSetExposure, {0, 3, 0, 0}, 0, data).result.status, TransferStatus::kStall);
    EXPECT_TRUE(camera.autoExposure());

    unlockDataWrite(camera, 0);
    EXPECT_TRUE(writeCommand(camera, kSetExposure, {0, 3, 0, 0}, 0, data).ok());
    EXPECT_FALSE(camera.autoExposure());
    // The lock re-arms after each such write.
    EXPECT_EQ(writeCommand(camera, kSetExposure, {0, 2, 0, 0}, 0, data).result.status, TransferStatus::kStall);

    CameraOptions relaxed;
    relaxed.dataWriteNeedsUnlock = false;
    Camera lenient(relaxed);
    writeCommand(lenient, kGotoHiPower, {0, 0, 0, 0}, 0);
    EXPECT_TRUE(writeCommand(lenient, kSetExposure, {0, 3, 0, 0}, 0, data).ok());
}

TEST_F(CommandsTest, StandardRequestsServeDescriptorsAndInterfaces)
{
    std::array<uint8_t, 256> buffer{};
    TransferResult r = camera.controlTransfer({0x80, 6, 0x0100, 0, 18}, buffer, 0);
    ASSERT_EQ(r.status, TransferStatus::kOk);
    EXPECT_EQ(r.bytes, 18u);
    EXPECT_EQ(buffer[8] | buffer[9] << 8, kVendorId);

    r = camera.controlTransfer({0x80, 6, 0x0200, 0, 9}, buffer, 0);
    EXPECT_EQ(r.bytes, 9u);
    const size_t total = buffer[2] | buffer[3] << 8;
    r = camera.controlTransfer({0x80, 6, 0x0200, 0, 255}, buffer, 0);
    EXPECT_EQ(r.bytes, total);

    EXPECT_EQ(camera.controlTransfer({0x01, 11, 2, 1, 0}, buffer, 0).status, TransferStatus::kOk);
    EXPECT_EQ(camera.alternate(), 2);
    EXPECT_EQ(camera.maxPacketSize(), 704);
    EXPECT_EQ(camera.controlTransfer({0x01, 11, 4, 1, 0}, buffer, 0).status, TransferStatus::kStall);
    EXPECT_EQ(camera.controlTransfer({0x01, 11, 1, 0, 0}, buffer, 0).status, TransferStatus::kStall);
    // Standard requests are the bus's business: the trace shows camera commands only.
    EXPECT_TRUE(camera.trace().entries().empty());
}

} // namespace
} // namespace zm4::emu::test
