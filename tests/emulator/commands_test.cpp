// What the camera's command set does that no driver scenario shows: requests
// it refuses stall and answer nothing, the data-write lock, a sleeping video
// processor, bad parameters raising the error byte without effect, and the
// register, button and brightness rules the driver's sequences count on.
// (The commands the driver sends and their replies are checked by its camera,
// link and property tests through the trace.)

#include <gtest/gtest.h>

#include "tests/emulator/emu_test_util.h"

namespace zm4::emu::test {
namespace {

TEST(Commands, RefusedRequestsStallWithoutReplyAndBadParametersChangeNothing)
{
    Camera camera;
    const auto read = [&](uint8_t request) { return readCommand(camera, request, {0, 0, 0, 0}, 0); };
    const auto stalls = [](const Reply &r) {
        return r.result.status == TransferStatus::kStall && r.result.bytes == 0;
    };
    // Asleep, the video processor does not answer and commands to it are lost.
    EXPECT_EQ(read(kGetVPVersion).data,
              (std::array<uint8_t, 8>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    writeCommand(camera, kSetFormat, {0, 1, 0, 0}, 0);
    EXPECT_EQ(read(kGetCameraStatus).data,
              (std::array<uint8_t, 8>{0, 1, 0, 0, kErrorNotPowered, 0, 1, 0x01}));
    writeCommand(camera, kGotoHiPower, {0, 0, 0, 0}, 0);
    writeCommand(camera, kSetFormat, {0, 1, 0, 0}, 0); // 176 x 144

    for (int code : {0x00, 0x02, 0x06, 0x21, 0xA2, 0xC0, 0xCC, 0xFF}) {
        EXPECT_TRUE(stalls(writeCommand(camera, static_cast<uint8_t>(code), {0, 0, 0, 0}, 0))) << code;
        EXPECT_TRUE(stalls(read(static_cast<uint8_t>(code)))) << code;
    }
    // Right code, wrong direction or wrong length; a class request; a vendor request to an interface.
    std::array<uint8_t, 8> buffer{};
    EXPECT_TRUE(stalls(writeCommand(camera, kGetVersion, {0, 0, 0, 0}, 0)));
    EXPECT_TRUE(stalls(read(kGrabFrame)));
    EXPECT_TRUE(stalls(writeCommand(camera, kSetExposure, {0, 0, 0, 0}, 0)));
    EXPECT_EQ(camera.controlTransfer({0xA1, kGetVersion, 0, 0, 8}, buffer, 0).status, TransferStatus::kStall);
    EXPECT_EQ(camera.controlTransfer({0xC1, kGetVersion, 0, 0, 8}, buffer, 0).status, TransferStatus::kStall);

    // A write with a data stage needs VC register 0xF0 bit 2 cleared, and re-arms it.
    const std::vector<uint8_t> data(8, 0);
    EXPECT_TRUE(stalls(writeCommand(camera, kSetExposure, {0, 3, 0, 0}, 0, data)));
    EXPECT_TRUE(camera.autoExposure());
    unlockDataWrite(camera, 0);
    EXPECT_TRUE(writeCommand(camera, kSetExposure, {0, 3, 0, 0}, 0, data).ok());
    EXPECT_FALSE(camera.autoExposure());
    EXPECT_TRUE(stalls(writeCommand(camera, kSetExposure, {0, 2, 0, 0}, 0, data)));

    // Bad parameters raise bit 0 and change nothing.
    for (const auto &[request, p] :
         std::initializer_list<std::pair<uint8_t, std::array<uint8_t, 4>>>{{kSetROI, {10, 5, 0, 36}},
                                                                           {kSetROI, {0, 23, 0, 36}},
                                                                           {kSetCompression, {2, 0, 0, 0}},
                                                                           {kSetGrabMode, {2, 0, 0, 0}},
                                                                           {kWriteMCPort, {4, 0, 0, 0}},
                                                                           {kSetSensorFPS, {4, 0, 0, 0}}}) {
        writeCommand(camera, kModifyCameraStatus, {4, 0, 0, 0}, 0);
        writeCommand(camera, request, p, 0);
        EXPECT_EQ(read(kGetCameraStatus).data[4], kErrorBadParameter) << int(request);
    }
    EXPECT_EQ(camera.roi(), (std::array<uint8_t, 4>{0, 22, 0, 36}));
    EXPECT_EQ(camera.grabMode(), 1);
    EXPECT_EQ(camera.framePeriodMs(), 33);
}

TEST(Commands, RegistersPortsAndBrightnessKeepTheRulesTheDriverCountsOn)
{
    Camera camera;
    const auto read = [&](uint8_t request, uint8_t p0 = 0) {
        return readCommand(camera, request, {p0, 0, 0, 0}, 0).data;
    };
    writeCommand(camera, kGotoHiPower, {0, 0, 0, 0}, 0);
    writeCommand(camera, kWriteVCReg, {0x12, 0x00, 0xA5, 0}, 0);
    writeCommand(camera, kWriteVCReg, {0x12, 0xF0, 0x03, 0}, 0); // keeps the high bits
    EXPECT_EQ(camera.vcRegister(0x12), 0xA3);
    // A short press stays latched until the host pulses port 3 bit 5 low then high.
    camera.pressButton();
    writeCommand(camera, kWriteMCPort, {3, 0xDF, 0xDF, 0}, 0);
    EXPECT_EQ(read(kReadMCPorts)[1] & 0x02, 0);
    writeCommand(camera, kWriteMCPort, {3, 0xFF, 0xFF, 0}, 0);
    EXPECT_EQ(read(kReadMCPorts)[1] & 0x02, 0x02);
    // Brightness as the driver's sequence programs it is applied unless the processor is busy.
    for (const uint8_t busy : {uint8_t{0x40}, uint8_t{0}}) {
        camera.setVpRegister(kVpBusy, busy);
        for (const auto &[reg, value] : {std::pair{40, 0}, {10, 68}, {11, 127}, {12, 242}, {63, 255}})
            writeCommand(camera, kWriteVPReg, {uint8_t(reg), uint8_t(reg == 40 ? 253 : 0), uint8_t(value), 0},
                         0);
        EXPECT_EQ(read(kReadVPRegs, 40)[0] & 0x02, busy ? 0x02 : 0);
        EXPECT_EQ(camera.brightnessOffset(), busy ? 0 : (127 - 65) / 2);
    }
}

} // namespace
} // namespace zm4::emu::test
