// Grabs and the isochronous upload in simulated time: sensor frame
// boundaries, pacing by the max packet size, the frame's tail in the last
// packet, empty packets between frames, grab modes.

#include <gtest/gtest.h>

#include "tests/emulator/emu_test_util.h"

namespace zm4::emu::test {
namespace {

class Upload : public ::testing::Test {
protected:
    Camera camera;
    std::vector<CapturedFrame> captured;
    std::vector<std::vector<uint8_t>> capturedBytes;

    void SetUp() override
    {
        camera.setFrameObserver([this](const CapturedFrame &f) {
            captured.push_back(f);
            capturedBytes.push_back(f.bytes);
        });
        startCamera(camera, 0);
    }
};

TEST_F(Upload, UncompressedCifFrameTakesAbout212MsAt960BytesPerMs)
{
    writeCommand(camera, kGrabFrame, {0, 0, 0, 0}, 100);
    Collector host;
    host.run(camera, 0, 600);

    ASSERT_EQ(host.frames.size(), 1u);
    ASSERT_EQ(capturedBytes.size(), 1u);
    EXPECT_EQ(host.frames[0], capturedBytes[0]);
    EXPECT_EQ(host.frames[0].size(), 203684u);

    // Taken at the first sensor boundary after the grab: every 33 ms from power-up.
    EXPECT_EQ(captured[0].timeMs, 132);

    int64_t first = -1, last = -1;
    for (const PacketLog &p : host.packets) {
        EXPECT_LE(p.data.size(), 960u);
        if (p.data.empty())
            continue;
        if (first < 0)
            first = p.timeMs;
        last = p.timeMs;
    }
    EXPECT_EQ(first, 133);
    EXPECT_EQ(last - first + 1, 213); // 203684 / 960 = 212.2
    // Nothing before the frame nor after it: packets between frames are empty.
    for (const PacketLog &p : host.packets)
        if (p.timeMs < first || p.timeMs > last) {
            EXPECT_TRUE(p.data.empty()) << p.timeMs;
        }
    EXPECT_EQ(host.frameEndTimes.at(0), last);
    EXPECT_EQ(camera.counters().framesUploaded, 1u);
}

TEST_F(Upload, PacketSizeFollowsTheAlternateSetting)
{
    for (uint8_t alt : {uint8_t(1), uint8_t(2)}) {
        camera.selectAlternate(1, alt, 1000 * alt);
        Collector host = grabAndPoll(camera, 1000 * alt, 1000 * alt + 700);
        ASSERT_EQ(host.frames.size(), 1u);
        const size_t limit = camera.maxPacketSize();
        size_t busy = 0;
        for (const PacketLog &p : host.packets) {
            EXPECT_LE(p.data.size(), limit);
            busy += p.data.empty() ? 0 : 1;
        }
        EXPECT_EQ(busy, (203684 + limit - 1) / limit);
    }
    // Setting 0 has no bandwidth: nothing moves.
    camera.selectAlternate(1, 0, 3000);
    Collector idle = grabAndPoll(camera, 3000, 3500);
    EXPECT_TRUE(idle.frames.empty());
    EXPECT_TRUE(camera.uploading());
}

TEST_F(Upload, LastPacketCarriesTheFrameEndAndNoEarlierPacketLooksLikeOne)
{
    // White pixels put 0xFF bytes everywhere; a careless split would end
    // frames early. Sizes around the max packet size test the tail rule.
    camera.setScene(makeFlatScene(255, 255, 255));
    writeCommand(camera, kSetFormat, {0, 1, 0, 0}, 0);
    for (uint8_t cols = 1; cols <= 22; ++cols) {
        const int64_t t0 = 1000 * cols;
        writeCommand(camera, kSetROI, {0, cols, 0, 1}, t0);
        Collector host = grabAndPoll(camera, t0, t0 + 300);
        ASSERT_EQ(host.frames.size(), 1u) << int(cols);
        EXPECT_EQ(host.frames[0], capturedBytes.back());
        const PacketLog *lastPacket = nullptr;
        for (const PacketLog &p : host.packets)
            if (!p.data.empty())
                lastPacket = &p;
        ASSERT_NE(lastPacket, nullptr);
        EXPECT_GE(lastPacket->data.size(), 5u);
    }
    // A frame 961 to 964 bytes long would leave a short tail: bytes move back.
    camera.setScene(makeBarsScene());
    bool sawShortTail = false;
    for (uint8_t rows = 1; rows <= 36 && !sawShortTail; ++rows) {
        for (uint8_t cols = 1; cols <= 22; ++cols) {
            const size_t size = 64 + size_t(rows) * 4 * (2 + cols * 16 + 1) + 4;
            if (size % 960 == 0 || size % 960 >= 5)
                continue;
            const int64_t t0 = 100000 + 1000 * rows;
            writeCommand(camera, kSetROI, {0, cols, 0, rows}, t0);
            Collector host = grabAndPoll(camera, t0, t0 + 400);
            ASSERT_EQ(host.frames.size(), 1u);
            EXPECT_EQ(host.frames[0].size(), size);
            EXPECT_GE(host.packets[static_cast<size_t>(host.frameEndTimes[0] - t0)].data.size(), 5u);
            sawShortTail = true;
            break;
        }
    }
    EXPECT_TRUE(sawShortTail);
}

TEST_F(Upload, SingleGrabModeSendsOneFramePerGrabAndMergesGrabsThatWait)
{
    Collector host;
    host.run(camera, 0, 500);
    EXPECT_TRUE(host.frames.empty());

    writeCommand(camera, kGrabFrame, {0, 0, 0, 0}, 500);
    host.run(camera, 500, 600);
    // Two more grabs during the upload: one frame buffer, one more frame.
    writeCommand(camera, kGrabFrame, {0, 0, 0, 0}, 600);
    writeCommand(camera, kGrabFrame, {0, 0, 0, 0}, 601);
    host.run(camera, 600, 2000);
    ASSERT_EQ(host.frames.size(), 2u);
    // The second frame was taken at the first boundary after the first upload.
    ASSERT_EQ(captured.size(), 2u);
    EXPECT_GE(captured[1].timeMs, host.frameEndTimes[0]);
    EXPECT_LT(captured[1].timeMs, host.frameEndTimes[0] + 33 + 1);
    EXPECT_EQ(captured[1].timeMs % 33, 0);
    EXPECT_EQ(camera.counters().grabs, 3u);
}

TEST_F(Upload, ContinuousModeStreamsOnItsOwnAtTheSensorRate)
{
    writeCommand(camera, kSetFormat, {0, 1, 0, 0}, 0);
    writeCommand(camera, kSetROI, {0, 4, 0, 4}, 0); // 32 x 16: a few packets
    writeCommand(camera, kSetGrabMode, {0, 0, 0, 0}, 0);
    Collector host;
    host.run(camera, 0, 1000);
    // One frame per 33-ms sensor frame: boundaries 33 .. 990.
    EXPECT_EQ(host.frames.size(), 30u);

    writeCommand(camera, kSetSensorFPS, {2, 1, 0, 0}, 1000);
    Collector slow;
    slow.run(camera, 1000, 2000);
    EXPECT_EQ(slow.frames.size(), 7u); // 1132, 1264, ... 1924
    EXPECT_EQ(captured.back().timeMs, 1924);
}

TEST_F(Upload, IsochronousOutputSwitchPausesTheUpload)
{
    Collector host = grabAndPoll(camera, 0, 150);
    writeCommand(camera, kWriteVCReg, {0xF1, 0xF7, 0x00, 0}, 150);
    host.run(camera, 150, 650);
    EXPECT_TRUE(host.frames.empty());
    for (const PacketLog &p : host.packets)
        if (p.timeMs >= 150) {
            EXPECT_TRUE(p.data.empty());
        }
    writeCommand(camera, kWriteVCReg, {0xF1, 0xF7, 0x08, 0}, 650);
    host.run(camera, 650, 1000);
    ASSERT_EQ(host.frames.size(), 1u);
    EXPECT_EQ(host.frames[0], capturedBytes[0]);
}

TEST_F(Upload, UnpolledFramesLoseTheirPacketsAndResetsAbortHalfSentFrames)
{
    Collector host = grabAndPoll(camera, 0, 60);
    camera.advanceTo(100); // nobody polls 60..99
    host.run(camera, 100, 500);
    EXPECT_TRUE(host.frames.empty() || host.frames[0] != capturedBytes[0]);
    EXPECT_EQ(camera.counters().packetsLost, 40u);

    // SET_INTERFACE in the middle of an upload loses the rest of the frame.
    Collector second = grabAndPoll(camera, 500, 600);
    EXPECT_TRUE(camera.uploading());
    EXPECT_TRUE(camera.selectAlternate(1, 3, 600));
    EXPECT_FALSE(camera.uploading());
    EXPECT_EQ(camera.counters().framesAborted, 1u);

    // Low power drops the frame and any waiting grab.
    writeCommand(camera, kGrabFrame, {0, 0, 0, 0}, 700);
    second.run(camera, 700, 800);
    writeCommand(camera, kGrabFrame, {0, 0, 0, 0}, 800);
    writeCommand(camera, kGotoLoPower, {0, 0, 0, 0}, 800);
    EXPECT_FALSE(camera.uploading());
    EXPECT_FALSE(camera.grabPending());
    Collector after;
    after.run(camera, 800, 1500);
    for (const PacketLog &p : after.packets)
        EXPECT_TRUE(p.data.empty());
}

TEST_F(Upload, PollingTheSameUsbFrameTwiceGivesNothingMore)
{
    writeCommand(camera, kGrabFrame, {0, 0, 0, 0}, 0);
    std::vector<uint8_t> buffer(960);
    camera.advanceTo(40);
    EXPECT_EQ(camera.isoPacket(40, buffer).length, 960u);
    EXPECT_EQ(camera.isoPacket(40, buffer).length, 0u);
    EXPECT_EQ(camera.isoPacket(39, buffer).length, 0u);
    EXPECT_EQ(camera.isoPacket(41, buffer).length, 960u);
}

TEST(UploadClock, LifeStartsAtTheFirstTimeGivenAndLongSilencesAreSkipped)
{
    // A wall-clock epoch: the camera must not replay the years before it.
    const int64_t epoch = 1764950000000;
    Camera camera;
    startCamera(camera, epoch);
    writeCommand(camera, kSetROI, {0, 4, 0, 4}, epoch);
    writeCommand(camera, kGrabFrame, {0, 0, 0, 0}, epoch + 10);
    Collector host;
    host.run(camera, epoch, epoch + 100);
    ASSERT_EQ(host.frames.size(), 1u);
    EXPECT_EQ(host.frameEndTimes[0], epoch + 33 + 2);

    // An hour later the sensor has counted its frames and still grabs on its beat.
    const uint32_t before = camera.sensorFrame();
    const int64_t later = epoch + 3600000;
    writeCommand(camera, kGrabFrame, {0, 0, 0, 0}, later);
    // Boundaries every 33 ms from power-up; three had passed at the first reading.
    EXPECT_EQ(camera.sensorFrame() - before, uint32_t((3600000 - 1) / 33 - 3));
    host.run(camera, later, later + 100);
    ASSERT_EQ(host.frames.size(), 2u);
    EXPECT_LT(host.frameEndTimes[1], later + 33 + 3);
}

} // namespace
} // namespace zm4::emu::test
