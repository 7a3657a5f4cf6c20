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
    Reply read(uint8_t request, std::array<uint8_t, 4> p = {0, 0, 0, 0})
    {
        return readCommand(camera, request, p, 0);
    }
    uint8_t errorByte() { return read(kGetCameraStatus).data[4]; }
    void clearErrors() { writeCommand(camera, kModifyCameraStatus, {4, 0, 0, 0}, 0); }
};

TEST_F(CommandsTest, VersionsPowerAndTheErrorByte)
{
    EXPECT_EQ(read(kGetVersion).data, (std::array<uint8_t, 8>{0x01, 0x20, 0, 1, 0, 0, 0, 0}));
    // Asleep, the video processor does not answer and commands to it are lost.
    EXPECT_EQ(read(kGetVPVersion).data,
              (std::array<uint8_t, 8>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    writeCommand(camera, kSetFormat, {0, 1, 0, 0}, 0);
    EXPECT_EQ(read(kGetCameraStatus).data,
              (std::array<uint8_t, 8>{0, 1, 0, 0, kErrorNotPowered, 0, 1, 0x01}));
    // Clearing the reported bits, as the driver's status check does.
    writeCommand(camera, kModifyCameraStatus, {4, static_cast<uint8_t>(~kErrorNotPowered), 0, 0}, 0);
    EXPECT_EQ(errorByte(), 0);

    powerUp();
    EXPECT_EQ(read(kGetVPVersion).data[2] & 0x0F, 9);
    writeCommand(camera, kSetFormat, {0, 1, 0, 0}, 0);
    EXPECT_EQ(read(kGetCameraStatus).data, (std::array<uint8_t, 8>{1, 1, 0, 0, 0, 0, 0, 0x01}));
    // Bad parameters raise bit 0 and change nothing.
    for (const auto &[request, p] :
         std::initializer_list<std::pair<uint8_t, std::array<uint8_t, 4>>>{{kSetROI, {10, 5, 0, 36}},
                                                                           {kSetROI, {0, 23, 0, 36}},
                                                                           {kSetCompression, {2, 0, 0, 0}},
                                                                           {kSetGrabMode, {2, 0, 0, 0}},
                                                                           {kWriteMCPort, {4, 0, 0, 0}},
                                                                           {kSetSensorFPS, {4, 0, 0, 0}}}) {
        clearErrors();
        writeCommand(camera, request, p, 0);
        EXPECT_EQ(errorByte(), kErrorBadParameter) << int(request);
    }
    EXPECT_EQ(camera.roi(), (std::array<uint8_t, 4>{0, 22, 0, 36}));

    CameraOptions legacy;
    legacy.firmwareVersion = 0x011E;
    legacy.versionByte2 = 1;
    Camera old(legacy);
    EXPECT_EQ(readCommand(old, kGetVersion, {0, 0, 0, 0}, 0).data[2], 1); // no status reporting
}

TEST_F(CommandsTest, RegistersKeepMaskedBitsAndBrightnessAppliesUnlessBusy)
{
    writeCommand(camera, kWriteVCReg, {0x12, 0x00, 0xA5, 0}, 0);
    writeCommand(camera, kWriteVCReg, {0x12, 0xF0, 0x03, 0}, 0);
    EXPECT_EQ(camera.vcRegister(0x12), 0xA3);
    powerUp();
    writeCommand(camera, kWriteVPReg, {57, 0, 9, 0}, 0);
    writeCommand(camera, kWriteVPReg, {40, 0, 0xFF, 0}, 0);
    writeCommand(camera, kWriteVPReg, {40, 253, 0, 0}, 0);
    EXPECT_EQ(read(kReadVPRegs, {57, 40, 9, 8}).data[0] << 8 | read(kReadVPRegs, {57, 40, 9, 8}).data[1],
              0x09FD);

    // Brightness 100 as the driver's sequence programs it: 68, 127, -14, then apply.
    auto program = [&] {
        for (const auto &[reg, value] : {std::pair{40, 0}, {10, 68}, {11, 127}, {12, 242}, {63, 255}})
            writeCommand(camera, kWriteVPReg, {uint8_t(reg), uint8_t(reg == 40 ? 253 : 0), uint8_t(value), 0},
                         0);
    };
    camera.setVpRegister(kVpBusy, 0x40);
    program();
    EXPECT_EQ(read(kReadVPRegs, {40, 0, 0, 0}).data[0] & 0x02, 0x02);
    EXPECT_EQ(camera.brightnessOffset(), 0);
    camera.setVpRegister(kVpBusy, 0);
    program();
    EXPECT_EQ(read(kReadVPRegs, {40, 0, 0, 0}).data[0] & 0x02, 0);
    EXPECT_EQ(camera.brightnessOffset(), (127 - 65) / 2);
}

TEST_F(CommandsTest, PortsButtonLampsAndSerialPort)
{
    auto port = [&](int n) { return read(kReadMCPorts).data[static_cast<size_t>(n)]; };
    EXPECT_EQ(port(1) & 0x02, 0x02); // button up
    EXPECT_EQ(port(2), 0xFF);        // port 2 undriven: lamps full
    camera.setButtonHeld(true);
    EXPECT_EQ(port(1) & 0x02, 0);
    camera.setButtonHeld(false);
    // A short press stays latched until the host pulses port 3 bit 5 low then high.
    camera.pressButton();
    writeCommand(camera, kWriteMCPort, {3, 0xDF, 0xDF, 0}, 0);
    EXPECT_EQ(port(1) & 0x02, 0);
    writeCommand(camera, kWriteMCPort, {3, 0xFF, 0xFF, 0}, 0);
    EXPECT_EQ(port(1) & 0x02, 0x02);
    // The GPIO write: port 2 = 0xE0 | value, seen once the direction register drives it.
    writeCommand(camera, kWriteMCPort, {2, 0, 0xE5, 0}, 0);
    EXPECT_EQ(camera.lampLevel(), 31);
    writeCommand(camera, kWriteVCReg, {0x90, 0x8F, 0x50, 0}, 0);
    EXPECT_EQ(port(2), 0xE5);
    EXPECT_EQ(camera.lampLevel(), 5);

    const uint8_t incoming[] = {7, 8};
    camera.serialReceive(incoming);
    EXPECT_EQ(read(kSerialRead, {1, 0, 0, 0}).data[1], 0); // port stopped: nothing to give
    writeCommand(camera, kSerialWrite, {0x41, 0, 0, 0}, 0);
    EXPECT_EQ(errorByte(), kErrorBadParameter);
    writeCommand(camera, kSerialStart, {0, 0, 0, 0}, 0);
    writeCommand(camera, kSerialWrite, {0x41, 0, 0, 0}, 0);
    writeCommand(camera, kSerialWrite, {0x42, 0x99, 0x99, 0x99}, 0);
    EXPECT_EQ(camera.serialSent(), (std::vector<uint8_t>{0x41, 0x42}));
    // Byte, whether there was one, how many wait; bit 0 of the argument takes it.
    EXPECT_EQ(read(kSerialRead, {0, 0, 0, 0}).data, (std::array<uint8_t, 8>{7, 1, 2, 0, 0, 0, 0, 0}));
    EXPECT_EQ(read(kSerialRead, {1, 0, 0, 0}).data, (std::array<uint8_t, 8>{7, 1, 1, 0, 0, 0, 0, 0}));
    EXPECT_EQ(read(kSerialRead, {1, 0, 0, 0}).data, (std::array<uint8_t, 8>{8, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(read(kSerialRead, {1, 0, 0, 0}).data[1], 0);
}

TEST_F(CommandsTest, ExposureBalanceAndSensorClockReadBack)
{
    powerUp();
    // Flicker mode's exposure write: values, current compensations.
    ASSERT_TRUE(
        writeDataCommand(camera, kSetExposure, {0, 1, 1, 0}, {1, 7, 250, 0, 227, 220, 220, 236}, 0).ok());
    EXPECT_EQ(read(kGetExposure).data, (std::array<uint8_t, 8>{1, 7, 250, 0, 227, 220, 220, 236}));
    // The coarse value saturates at the longest exposure.
    writeDataCommand(camera, kSetExposure, {0, 1, 0, 0}, {0, 0, 0xFF, 0x01, 0, 0, 0, 0}, 0);
    EXPECT_EQ(read(kGetExposure).data[2] | read(kGetExposure).data[3] << 8, 302);

    writeCommand(camera, kSetColourBalance, {1, 40, 5, 60}, 0);
    writeCommand(camera, kSetColourBalance, {3, 0, 0, 0}, 0);
    writeCommand(camera, kSetColourBalance, {1, 213, 0, 0}, 0); // above the largest gain: refused
    EXPECT_EQ(read(kGetColourBalance).data, (std::array<uint8_t, 8>{40, 5, 60, 3, 0, 0, 0, 0}));

    const std::pair<std::array<uint8_t, 4>, int> periods[] = {
        {{0, 1, 0, 0}, 33}, {{0, 0, 0, 0}, 40}, {{1, 1, 0, 0}, 66}, {{1, 0, 0, 0}, 80}, {{2, 1, 0, 0}, 132},
    };
    for (const auto &[args, period] : periods) {
        writeCommand(camera, kSetSensorFPS, args, 0);
        EXPECT_EQ(camera.framePeriodMs(), period);
        EXPECT_EQ(read(kGetCameraStatus).data[7], args[0] << 4 | args[1]);
    }
}

TEST_F(CommandsTest, UnknownMisshapenAndLockedRequestsStall)
{
    powerUp();
    for (int code : {0x00, 0x02, 0x06, 0x21, 0xA2, 0xC0, 0xCC, 0xFF}) {
        const auto request = static_cast<uint8_t>(code);
        EXPECT_EQ(writeCommand(camera, request, {0, 0, 0, 0}, 0).result.status, TransferStatus::kStall)
            << code;
        EXPECT_EQ(read(request).result.status, TransferStatus::kStall) << code;
    }
    // Right code, wrong direction or wrong length.
    EXPECT_EQ(writeCommand(camera, kGetVersion, {0, 0, 0, 0}, 0).result.status, TransferStatus::kStall);
    EXPECT_EQ(read(kGrabFrame).result.status, TransferStatus::kStall);
    EXPECT_EQ(writeCommand(camera, kSetExposure, {0, 0, 0, 0}, 0).result.status, TransferStatus::kStall);
    // A class request, and a vendor request to an interface.
    std::array<uint8_t, 8> buffer{};
    EXPECT_EQ(camera.controlTransfer({0xA1, kGetVersion, 0, 0, 8}, buffer, 0).status, TransferStatus::kStall);
    EXPECT_EQ(camera.controlTransfer({0xC1, kGetVersion, 0, 0, 8}, buffer, 0).status, TransferStatus::kStall);

    // A write with a data stage needs VC register 0xF0 bit 2 cleared, and re-arms it.
    const std::vector<uint8_t> data(8, 0);
    EXPECT_EQ(writeCommand(camera, kSetExposure, {0, 3, 0, 0}, 0, data).result.status,
              TransferStatus::kStall);
    EXPECT_TRUE(camera.autoExposure());
    unlockDataWrite(camera, 0);
    EXPECT_TRUE(writeCommand(camera, kSetExposure, {0, 3, 0, 0}, 0, data).ok());
    EXPECT_FALSE(camera.autoExposure());
    EXPECT_EQ(writeCommand(camera, kSetExposure, {0, 2, 0, 0}, 0, data).result.status,
              TransferStatus::kStall);
}

} // namespace
} // namespace zm4::emu::test
