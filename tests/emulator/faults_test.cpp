// The fault switches, set through their text form and seen from outside the
// camera (the isochronous ones through the host bus, in its tests; the text
// form's refusals in the zm4 faults command's tests).

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

    void SetUp() override { startCamera(camera, 0); }
    uint8_t errorByte(int64_t t) { return readCommand(camera, kGetCameraStatus, {0, 0, 0, 0}, t).data[4]; }
};

// (No answer, failing, halted and slow control transfers are the link's tests.)
TEST_F(FaultsTest, StatusErrorCountsRefusedSettingsAndDisconnect)
{
    camera.setFaults(parsed("status-error:bits=0x10,count=1"));
    writeCommand(camera, kSetGrabMode, {1, 0, 0, 0}, 4);
    EXPECT_EQ(errorByte(4), 0x10);
    writeCommand(camera, kModifyCameraStatus, {4, 0, 0, 0}, 4);
    writeCommand(camera, kSetGrabMode, {1, 0, 0, 0}, 4);
    EXPECT_EQ(errorByte(4), 0);

    // A count runs out.
    camera.setFaults(parsed("ctrlfail=2"));
    for (const auto want : {TransferStatus::kFail, TransferStatus::kFail, TransferStatus::kOk})
        EXPECT_EQ(readCommand(camera, kGetVersion, {0, 0, 0, 0}, 5).result.status, want);

    camera.setFaults(parsed("refuse-alt=3;refuse-alt:2"));
    EXPECT_FALSE(camera.selectAlternate(1, 3, 6));
    EXPECT_FALSE(camera.selectAlternate(1, 2, 6));
    EXPECT_TRUE(camera.selectAlternate(1, 1, 6));
    camera.setFaults(parsed("disconnect"));
    EXPECT_EQ(readCommand(camera, kGetVersion, {0, 0, 0, 0}, 7).result.status, TransferStatus::kFail);
    EXPECT_FALSE(camera.selectAlternate(1, 1, 7));
    std::vector<uint8_t> buffer(960);
    EXPECT_EQ(camera.isoPacket(8, buffer).status, PacketStatus::kNoResponse);
}

// A stalled frame waits and goes out once the endpoint recovers. (How the
// host sees a stall is the bus's tests.)
TEST_F(FaultsTest, StalledFrameGoesOutAfterTheStall)
{
    std::vector<std::vector<uint8_t>> sent;
    camera.setFrameObserver([&](const CapturedFrame &f) { sent.push_back(f.bytes); });
    writeCommand(camera, kSetROI, {0, 44, 0, 8}, 0);
    camera.setFaults(parsed("stall"));
    Collector host = grabAndPoll(camera, 1, 300);
    EXPECT_TRUE(host.frames.empty());
    camera.setFaults(parsed("stall:off"));
    host.run(camera, 300, 600);
    ASSERT_EQ(host.frames.size(), 1u);
    EXPECT_EQ(host.frames[0], sent.back());
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

} // namespace
} // namespace zm4::emu::test
