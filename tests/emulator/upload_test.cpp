// Grabs and the isochronous upload in simulated time: sensor frame
// boundaries, pacing by the max packet size, the frame's tail in the last
// packet, empty packets between frames, what pauses or ends an upload. (Grab
// modes and sensor rates are the driver's camera and transport tests.)

#include <gtest/gtest.h>

#include "tests/emulator/emu_test_util.h"

namespace zm4::emu::test {
namespace {

class Upload : public ::testing::Test {
protected:
    Camera camera;
    std::vector<CapturedFrame> captured;

    void SetUp() override
    {
        camera.setFrameObserver([this](const CapturedFrame &f) { captured.push_back(f); });
        startCamera(camera, 0);
    }
    static std::vector<int64_t> busyTimes(const Collector &host)
    {
        std::vector<int64_t> times;
        for (const PacketLog &p : host.packets)
            if (!p.data.empty())
                times.push_back(p.timeMs);
        return times;
    }
};

TEST_F(Upload, UncompressedFramesArePacedByTheAlternateSettingsPacketSize)
{
    writeCommand(camera, kGrabFrame, {0, 0, 0, 0}, 100);
    Collector host;
    host.run(camera, 0, 600);
    ASSERT_EQ(host.frames.size(), 1u);
    EXPECT_EQ(host.frames[0], captured[0].bytes);
    EXPECT_EQ(host.frames[0].size(), 203684u);
    // Taken at the first sensor boundary after the grab (every 33 ms from
    // power-up), sent from the next USB frame on in back-to-back 960-byte
    // packets: 203684 / 960 = 212.2, and nothing before or after.
    EXPECT_EQ(captured[0].timeMs, 132);
    const std::vector<int64_t> busy = busyTimes(host);
    ASSERT_EQ(busy.size(), 213u);
    EXPECT_EQ(busy.front(), 133);
    EXPECT_EQ(busy.back(), 133 + 212);
    EXPECT_EQ(host.frameEndTimes.at(0), busy.back());

    for (uint8_t alt : {uint8_t(1), uint8_t(2)}) {
        camera.selectAlternate(1, alt, 1000 * alt);
        Collector paced = grabAndPoll(camera, 1000 * alt, 1000 * alt + 700);
        ASSERT_EQ(paced.frames.size(), 1u);
        const size_t limit = camera.maxPacketSize();
        for (const PacketLog &p : paced.packets)
            EXPECT_LE(p.data.size(), limit);
        EXPECT_EQ(busyTimes(paced).size(), (203684 + limit - 1) / limit);
    }
    // Setting 0 has no bandwidth: nothing moves.
    camera.selectAlternate(1, 0, 3000);
    EXPECT_TRUE(grabAndPoll(camera, 3000, 3500).frames.empty());
    EXPECT_TRUE(camera.uploading());

    // One slot per USB frame: polling the same frame again, or an earlier one, gives nothing.
    camera.selectAlternate(1, 3, 4000);
    std::vector<uint8_t> buffer(960);
    camera.advanceTo(4100);
    EXPECT_EQ(camera.isoPacket(4100, buffer).length, 960u);
    EXPECT_EQ(camera.isoPacket(4100, buffer).length, 0u);
    EXPECT_EQ(camera.isoPacket(4099, buffer).length, 0u);
    EXPECT_EQ(camera.isoPacket(4101, buffer).length, 960u);
}

TEST_F(Upload, LastPacketCarriesTheFrameEndAndNoEarlierPacketLooksLikeOne)
{
    // White pixels put 0xFF bytes everywhere; a careless split would end
    // frames early. Sizes just above a multiple of the packet size would
    // leave a tail under five bytes: bytes move back into the last packet.
    camera.setScene(makeFlatScene(255, 255, 255));
    writeCommand(camera, kSetFormat, {0, 1, 0, 0}, 0);
    bool sawShortTail = false;
    int64_t t0 = 1000;
    for (uint8_t rows = 1; rows <= 36; rows += 5) {
        for (uint8_t cols = 1; cols <= 22; ++cols, t0 += 1000) {
            writeCommand(camera, kSetROI, {0, cols, 0, rows}, t0);
            Collector host = grabAndPoll(camera, t0, t0 + 400);
            ASSERT_EQ(host.frames.size(), 1u) << int(rows) << "x" << int(cols);
            EXPECT_EQ(host.frames[0], captured.back().bytes);
            const size_t last = static_cast<size_t>(busyTimes(host).back() - t0);
            EXPECT_GE(host.packets[last].data.size(), 5u);
            const size_t size = host.frames[0].size();
            sawShortTail |= size % 960 != 0 && size % 960 < 5;
        }
    }
    EXPECT_TRUE(sawShortTail);
}

TEST_F(Upload, OutputSwitchPausesResetsAbortAndUnpolledPacketsAreLost)
{
    Collector host = grabAndPoll(camera, 0, 150);
    writeCommand(camera, kWriteVCReg, {0xF1, 0xF7, 0x00, 0}, 150);
    host.run(camera, 150, 650);
    EXPECT_TRUE(host.frames.empty());
    EXPECT_LT(busyTimes(host).back(), 150);
    writeCommand(camera, kWriteVCReg, {0xF1, 0xF7, 0x08, 0}, 650);
    host.run(camera, 650, 1000);
    ASSERT_EQ(host.frames.size(), 1u);
    EXPECT_EQ(host.frames[0], captured[0].bytes);

    Collector lossy = grabAndPoll(camera, 1000, 1060);
    camera.advanceTo(1100); // nobody polls 1060..1099
    EXPECT_EQ(camera.counters().packetsLost, 40u);
    // SET_INTERFACE in the middle of an upload loses the rest of the frame.
    EXPECT_TRUE(camera.selectAlternate(1, 3, 1100));
    EXPECT_FALSE(camera.uploading());
    EXPECT_EQ(camera.counters().framesAborted, 1u);
    // Low power drops the frame and any waiting grab.
    writeCommand(camera, kGrabFrame, {0, 0, 0, 0}, 1200);
    lossy.run(camera, 1200, 1300);
    writeCommand(camera, kGrabFrame, {0, 0, 0, 0}, 1300);
    writeCommand(camera, kGotoLoPower, {0, 0, 0, 0}, 1300);
    EXPECT_FALSE(camera.uploading());
    EXPECT_FALSE(camera.grabPending());
    Collector after;
    after.run(camera, 1300, 2000);
    EXPECT_TRUE(busyTimes(after).empty());
}

TEST(UploadClock, LifeStartsAtTheFirstTimeGivenAndLongSilencesAreSkipped)
{
    // A wall-clock epoch: the camera must not replay the years before it.
    const int64_t epoch = 1764950000000;
    Camera camera;
    startCamera(camera, epoch);
    writeCommand(camera, kSetROI, {0, 4, 0, 4}, epoch);
    Collector host = grabAndPoll(camera, epoch + 10, epoch + 100);
    ASSERT_EQ(host.frames.size(), 1u);
    EXPECT_EQ(host.frameEndTimes[0], epoch + 33 + 2);
    // An hour later the sensor has counted its frames and still grabs on its beat.
    const uint32_t before = camera.sensorFrame();
    const int64_t later = epoch + 3600000;
    writeCommand(camera, kGrabFrame, {0, 0, 0, 0}, later);
    EXPECT_EQ(camera.sensorFrame() - before, uint32_t((3600000 - 1) / 33 - 3));
    host.run(camera, later, later + 100);
    ASSERT_EQ(host.frames.size(), 2u);
    EXPECT_LT(host.frameEndTimes[1], later + 33 + 3);
}

} // namespace
} // namespace zm4::emu::test
