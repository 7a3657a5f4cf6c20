// Every fault switch, seen from outside the camera, and the text form.

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

    // Grabs one small frame and polls long enough for it to arrive.
    Collector grabOne(int64_t t0) { return grabAndPoll(camera, t0, t0 + 300); }
};

TEST_F(FaultsTest, NoAnswerRepliesAllOnesAndIgnoresWrites)
{
    camera.setFaults(parsed("noanswer"));
    const Reply status = readCommand(camera, kGetCameraStatus, {0, 0, 0, 0}, 1);
    EXPECT_TRUE(status.ok());
    EXPECT_EQ(status.data, (std::array<uint8_t, 8>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    writeCommand(camera, kSetFormat, {0, 1, 0, 0}, 1);
    EXPECT_EQ(camera.videoSize(), 1);

    camera.setFaults(parsed("noanswer:off"));
    EXPECT_NE(readCommand(camera, kGetCameraStatus, {0, 0, 0, 0}, 2).data[0], 0xFF);
}

TEST_F(FaultsTest, ControlFailuresByCountAndBySeededProbability)
{
    camera.setFaults(parsed("ctrlfail:count=3"));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(readCommand(camera, kGetVersion, {0, 0, 0, 0}, 1).result.status, TransferStatus::kFail);
    EXPECT_TRUE(readCommand(camera, kGetVersion, {0, 0, 0, 0}, 1).ok());
    EXPECT_FALSE(camera.faults().ctrlFail.on);
    // A failed write does not reach the camera.
    camera.setFaults(parsed("ctrlfail:count=1"));
    writeCommand(camera, kSetGrabMode, {0, 0, 0, 0}, 2);
    EXPECT_EQ(camera.grabMode(), 1);

    auto pattern = [](uint64_t seed) {
        Camera c;
        Faults f = parsed("ctrlfail:p=0.3,seed=" + std::to_string(seed));
        c.setFaults(f);
        std::string outcome;
        for (int i = 0; i < 400; ++i)
            outcome += readCommand(c, kGetVersion, {0, 0, 0, 0}, i).ok() ? '.' : 'x';
        return outcome;
    };
    const std::string a = pattern(7);
    EXPECT_EQ(a, pattern(7));
    EXPECT_NE(a, pattern(8));
    const auto failures = std::count(a.begin(), a.end(), 'x');
    EXPECT_GT(failures, 80);
    EXPECT_LT(failures, 160);
    EXPECT_NE(camera.trace().text().find(" fail\n"), std::string::npos);
}

TEST_F(FaultsTest, HaltOnWriteStallsOnlyDataStageWrites)
{
    camera.setFaults(parsed("halt-on-write"));
    EXPECT_EQ(writeDataCommand(camera, kSetExposure, {0, 3, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}, 1).result.status,
              TransferStatus::kStall);
    EXPECT_TRUE(camera.autoExposure());
    EXPECT_TRUE(writeCommand(camera, kSetGrabMode, {0, 0, 0, 0}, 1).ok());
    EXPECT_TRUE(readCommand(camera, kGetVersion, {0, 0, 0, 0}, 1).ok());
}

TEST_F(FaultsTest, StatusErrorSetsTheErrorByteAfterCommands)
{
    camera.setFaults(parsed("status-error:0x04"));
    writeCommand(camera, kSetGrabMode, {1, 0, 0, 0}, 1);
    EXPECT_EQ(readCommand(camera, kGetCameraStatus, {0, 0, 0, 0}, 1).data[4], 0x04);
    writeCommand(camera, kModifyCameraStatus, {4, 0xFB, 0, 0}, 1);
    EXPECT_EQ(readCommand(camera, kGetCameraStatus, {0, 0, 0, 0}, 1).data[4], 0);
    writeCommand(camera, kSetGrabMode, {1, 0, 0, 0}, 1);
    EXPECT_EQ(camera.statusByte(4), 0x04); // raised again

    camera.setFaults(parsed("status-error:bits=0x10,count=1"));
    writeCommand(camera, kModifyCameraStatus, {4, 0, 0, 0}, 2);
    writeCommand(camera, kSetGrabMode, {1, 0, 0, 0}, 2);
    EXPECT_EQ(camera.statusByte(4), 0x10);
    writeCommand(camera, kModifyCameraStatus, {4, 0, 0, 0}, 2);
    writeCommand(camera, kSetGrabMode, {1, 0, 0, 0}, 2);
    EXPECT_EQ(camera.statusByte(4), 0);
}

TEST_F(FaultsTest, IsochronousErrorsFailuresAndStall)
{
    writeCommand(camera, kSetROI, {0, 44, 0, 8}, 0);

    camera.setFaults(parsed("isoerror:p=1"));
    Collector damaged = grabOne(1);
    EXPECT_TRUE(damaged.frames.empty());
    for (const PacketLog &p : damaged.packets)
        EXPECT_EQ(p.status, PacketStatus::kError);

    camera.setFaults(parsed("isoerror:p=0.25,seed=3"));
    Collector some = grabOne(1000);
    const auto errors = std::count_if(some.packets.begin(), some.packets.end(),
                                      [](const PacketLog &p) { return p.status == PacketStatus::kError; });
    EXPECT_GT(errors, 40);
    EXPECT_LT(errors, 110);

    camera.setFaults(parsed("isofail"));
    Collector failed = grabOne(2000);
    for (const PacketLog &p : failed.packets)
        EXPECT_EQ(p.status, PacketStatus::kRequestFailed);

    // A stalled endpoint sends nothing and the frame waits for it.
    camera.setFaults(parsed("stall"));
    Collector stalled = grabOne(3000);
    for (const PacketLog &p : stalled.packets)
        EXPECT_EQ(p.status, PacketStatus::kNoResponse);
    EXPECT_TRUE(camera.uploading());
    camera.setFaults(parsed("stall:off"));
    Collector resumed;
    resumed.run(camera, 3300, 3600);
    ASSERT_EQ(resumed.frames.size(), 1u);
    EXPECT_EQ(resumed.frames[0], sent.back());
}

TEST_F(FaultsTest, CorruptFramesFailVerificationTheWayAsked)
{
    writeCommand(camera, kSetROI, {0, 10, 0, 10}, 0);
    struct Expect {
        const char *spec;
        uint32_t status;
    };
    int64_t t = 1;
    for (const Expect &e : {Expect{"corrupt:linelength", 1u}, Expect{"corrupt:eol,line=3", 3u},
                            Expect{"corrupt:magic,offset=10", 5u}}) {
        camera.setFaults(parsed(e.spec));
        Collector host = grabOne(t);
        t += 1000;
        ASSERT_EQ(host.frames.size(), 1u) << e.spec;
        FrameHeaderInfo info{};
        StreamErrorDetails details{};
        EXPECT_EQ(VerifyStreamBounded(host.frames[0].data(), host.frames[0].size(), &info, &details),
                  e.status)
            << e.spec;
        if (e.status == 3) {
            EXPECT_EQ(details.line, 3);
        }
        if (e.status == 5) {
            EXPECT_EQ(details.offset, 10u);
            EXPECT_EQ(
                VerifyStreamBounded(host.frames[0].data() + 10, host.frames[0].size() - 10, &info, &details),
                0u);
        }
    }

    // Without its end marker the frame runs into the next one.
    camera.setFaults(parsed("corrupt:eof,count=1"));
    Collector host = grabOne(t);
    EXPECT_TRUE(host.frames.empty());
    writeCommand(camera, kGrabFrame, {0, 0, 0, 0}, t + 300);
    host.run(camera, t + 300, t + 600);
    ASSERT_EQ(host.frames.size(), 1u);
    FrameHeaderInfo info{};
    StreamErrorDetails details{};
    EXPECT_EQ(VerifyStreamBounded(host.frames[0].data(), host.frames[0].size(), &info, &details), 6u);
}

TEST_F(FaultsTest, RefusedAlternateSettingsSlowControlAndDisconnect)
{
    camera.setFaults(parsed("refuse-alt:3;refuse-alt:2"));
    EXPECT_FALSE(camera.selectAlternate(1, 3, 1));
    EXPECT_FALSE(camera.selectAlternate(1, 2, 1));
    EXPECT_TRUE(camera.selectAlternate(1, 1, 1));
    EXPECT_EQ(camera.alternate(), 1);
    CameraOptions options;
    options.refusedAlternates = 1u << 3;
    Camera refusing(options);
    EXPECT_FALSE(refusing.selectAlternate(1, 3, 0));

    camera.setFaults(parsed("slowctrl:ms=1500"));
    EXPECT_EQ(readCommand(camera, kGetVersion, {0, 0, 0, 0}, 2).result.delayMs, 1500);
    camera.setFaults(parsed("slowctrl:ms=1500,count=1"));
    readCommand(camera, kGetVersion, {0, 0, 0, 0}, 3);
    EXPECT_EQ(readCommand(camera, kGetVersion, {0, 0, 0, 0}, 3).result.delayMs, 0);

    camera.setFaults(parsed("disconnect"));
    EXPECT_FALSE(camera.connected());
    EXPECT_EQ(readCommand(camera, kGetVersion, {0, 0, 0, 0}, 4).result.status, TransferStatus::kFail);
    EXPECT_FALSE(camera.selectAlternate(1, 1, 4));
    std::vector<uint8_t> buffer(960);
    EXPECT_EQ(camera.isoPacket(5, buffer).status, PacketStatus::kNoResponse);
}

TEST(FaultParser, RejectsWhatItDoesNotKnow)
{
    const char *bad[] = {"nosuchfault", "ctrlfail:count=0", "ctrlfail:p=2",   "corrupt:teeth",
                         "refuse-alt",  "refuse-alt:4",     "status-error:0", "slowctrl:ms=-1",
                         "isoerror:p=", "stall:speed=3",    "ctrlfail:,",     "corrupt:line=400"};
    for (const char *spec : bad) {
        Faults faults;
        faults.seed = 42;
        std::string error;
        EXPECT_FALSE(parseFaults(spec, faults, &error)) << spec;
        EXPECT_FALSE(error.empty()) << spec;
        EXPECT_EQ(faults.seed, 42u) << "a failed parse leaves the switches alone";
        EXPECT_FALSE(faults.ctrlFail.on);
    }
    const Faults f = parsed("ctrlfail:p=0.1,seed=9;corrupt:eol;disconnect;disconnect:off");
    EXPECT_TRUE(f.ctrlFail.on);
    EXPECT_DOUBLE_EQ(f.ctrlFail.p, 0.1);
    EXPECT_EQ(f.seed, 9u);
    EXPECT_EQ(f.corruption, Corruption::kEndOfLine);
    EXPECT_FALSE(f.disconnect);
}

} // namespace
} // namespace zm4::emu::test
