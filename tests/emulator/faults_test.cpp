// Every fault switch, seen from outside the camera, set through the text form
// (whose refusals the zm4 faults command's tests check).

#include <gtest/gtest.h>

#include "decode/zm4decode.h"
#include "tests/emulator/emu_test_util.h"

namespace zm4::emu::test {
namespace {

Faults parsed(std::string_view spec)
{
    Faults faults;
    std::string error;
    EXPECT_TRUE(parseFaults(spec, faults, &error)) << error;
    return faults;
}

class FaultsTest : public ::testing::Test {
protected:
    Camera camera;
    std::vector<std::vector<uint8_t>> sent;

    void SetUp() override
    {
        camera.setFrameObserver([this](const CapturedFrame &f) { sent.push_back(f.bytes); });
        startCamera(camera, 0);
    }
    TransferStatus version(int64_t t)
    {
        return readCommand(camera, kGetVersion, {0, 0, 0, 0}, t).result.status;
    }
    uint8_t errorByte(int64_t t) { return readCommand(camera, kGetCameraStatus, {0, 0, 0, 0}, t).data[4]; }
};

TEST_F(FaultsTest, ControlTransferFaults)
{
    camera.setFaults(parsed("noanswer"));
    EXPECT_EQ(readCommand(camera, kGetCameraStatus, {0, 0, 0, 0}, 1).data,
              (std::array<uint8_t, 8>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    writeCommand(camera, kSetFormat, {0, 1, 0, 0}, 1);
    EXPECT_EQ(camera.videoSize(), 1);

    // A count runs out; a failed write does not reach the camera.
    camera.setFaults(parsed("ctrlfail=3"));
    writeCommand(camera, kSetGrabMode, {0, 0, 0, 0}, 2);
    EXPECT_EQ(version(2), TransferStatus::kFail);
    EXPECT_EQ(version(2), TransferStatus::kFail);
    EXPECT_EQ(version(2), TransferStatus::kOk);
    EXPECT_EQ(camera.grabMode(), 1);
    EXPECT_NE(camera.trace().text().find(" fail\n"), std::string::npos);

    camera.setFaults(parsed("halt-on-write"));
    EXPECT_EQ(writeDataCommand(camera, kSetExposure, {0, 3, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}, 3).result.status,
              TransferStatus::kStall);
    EXPECT_TRUE(writeCommand(camera, kSetGrabMode, {1, 0, 0, 0}, 3).ok());

    camera.setFaults(parsed("status-error:bits=0x10,count=1"));
    writeCommand(camera, kSetGrabMode, {1, 0, 0, 0}, 4);
    EXPECT_EQ(errorByte(4), 0x10);
    writeCommand(camera, kModifyCameraStatus, {4, 0, 0, 0}, 4);
    writeCommand(camera, kSetGrabMode, {1, 0, 0, 0}, 4);
    EXPECT_EQ(errorByte(4), 0);

    camera.setFaults(parsed("slowctrl=1500,count=1"));
    EXPECT_EQ(readCommand(camera, kGetVersion, {0, 0, 0, 0}, 5).result.delayMs, 1500);
    EXPECT_EQ(readCommand(camera, kGetVersion, {0, 0, 0, 0}, 5).result.delayMs, 0);
}

TEST_F(FaultsTest, IsochronousFaults)
{
    writeCommand(camera, kSetROI, {0, 44, 0, 8}, 0);
    const std::pair<const char *, PacketStatus> kinds[] = {{"isoerror", PacketStatus::kError},
                                                           {"isofail", PacketStatus::kRequestFailed},
                                                           {"stall", PacketStatus::kNoResponse}};
    int64_t t = 1;
    for (const auto &[spec, status] : kinds) {
        camera.setFaults(parsed(spec));
        Collector host = grabAndPoll(camera, t, t + 300);
        t += 1000;
        EXPECT_TRUE(host.frames.empty()) << spec;
        for (const PacketLog &p : host.packets)
            ASSERT_EQ(p.status, status) << spec;
    }
    // The stalled frame waits and goes out once the endpoint recovers.
    camera.setFaults(parsed("stall:off"));
    Collector resumed;
    resumed.run(camera, t - 700, t);
    ASSERT_EQ(resumed.frames.size(), 1u);
    EXPECT_EQ(resumed.frames[0], sent.back());
}

TEST_F(FaultsTest, CorruptFramesFailVerificationTheWayAsked)
{
    writeCommand(camera, kSetROI, {0, 10, 0, 10}, 0);
    const std::tuple<const char *, uint32_t, uint32_t> cases[] = {
        {"corrupt", ZM4_FRAME_BAD_LINE_LENGTH, 20}, // the middle line record
        {"corrupt=eol,line=3", ZM4_FRAME_NO_END_OF_LINE, 3},
        {"corrupt=magic,offset=10", ZM4_FRAME_MAGIC_MOVED, 0},
    };
    int64_t t = 1;
    for (const auto &[spec, status, line] : cases) {
        camera.setFaults(parsed(spec));
        Collector host = grabAndPoll(camera, t, t + 300);
        t += 1000;
        ASSERT_EQ(host.frames.size(), 1u) << spec;
        FrameHeaderInfo info{};
        StreamErrorDetails details{};
        EXPECT_EQ(VerifyStreamBounded(host.frames[0].data(), host.frames[0].size(), &info, &details), status)
            << spec;
        EXPECT_EQ(status == ZM4_FRAME_MAGIC_MOVED ? details.offset : details.line,
                  status == ZM4_FRAME_MAGIC_MOVED ? 10u : line)
            << spec;
    }
    // Without its end marker the frame runs into the next one.
    camera.setFaults(parsed("corrupt=eof,count=1"));
    Collector host = grabAndPoll(camera, t, t + 300);
    EXPECT_TRUE(host.frames.empty());
    writeCommand(camera, kGrabFrame, {0, 0, 0, 0}, t + 300);
    host.run(camera, t + 300, t + 600);
    ASSERT_EQ(host.frames.size(), 1u);
    FrameHeaderInfo info{};
    StreamErrorDetails details{};
    EXPECT_EQ(VerifyStreamBounded(host.frames[0].data(), host.frames[0].size(), &info, &details),
              ZM4_FRAME_NO_END_OF_FRAME);
}

TEST_F(FaultsTest, RefusedAlternateSettingsAndDisconnect)
{
    camera.setFaults(parsed("refuse-alt=3;refuse-alt:2"));
    EXPECT_FALSE(camera.selectAlternate(1, 3, 1));
    EXPECT_FALSE(camera.selectAlternate(1, 2, 1));
    EXPECT_TRUE(camera.selectAlternate(1, 1, 1));
    camera.setFaults(parsed("disconnect"));
    EXPECT_FALSE(camera.connected());
    EXPECT_EQ(version(4), TransferStatus::kFail);
    EXPECT_FALSE(camera.selectAlternate(1, 1, 4));
    std::vector<uint8_t> buffer(960);
    EXPECT_EQ(camera.isoPacket(5, buffer).status, PacketStatus::kNoResponse);
}

} // namespace
} // namespace zm4::emu::test
