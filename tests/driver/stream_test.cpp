// The video stream end to end on the whole simulated machine, driven as a
// capture application drives it through the port: open and format changes,
// the state machine, reads ended by frames, a held frame, a filler, stop and
// cancel, properties while streaming and a minute without a lost frame. (The
// pixels reads get in every format and size are the transport test's.)
#include <algorithm>

#include "driver/debug.h"
#include "driver/stream.h"
#include "driver/stream_data.h"
#include "port_env.h"
#include "settings/propman.h"

using namespace zm4::host;

namespace {

bool problemRecorded(ULONG code)
{
    const DEBUG_RECORD *record = Debug_GetRecord();
    const UCHAR *end = record->problemList + record->problemCount;
    return std::find(record->problemList, end, code) != end;
}

// How a read ended: its status and the bytes it got.
using Ended = std::pair<NTSTATUS, size_t>;
Ended ended(const RequestPtr &read)
{
    return {read->status(), read->dataUsed()};
}

class StreamTest : public MachineTest {
protected:
    std::unique_ptr<Stream> open(ULONG formatIndex, LONG width, LONG height)
    {
        NTSTATUS status = STATUS_PENDING;
        std::unique_ptr<Stream> stream = adapter().openVideoStream(formatIndex, width, height, &status);
        EXPECT_EQ(status, STATUS_SUCCESS) << formatIndex << " " << width << "x" << height;
        return stream;
    }
    // The camera's power commands so far: how often the pipeline started and stopped.
    int commands(uint8_t request) const
    {
        const auto &entries = machine_->camera().trace().entries();
        return static_cast<int>(std::count_if(entries.begin(), entries.end(),
                                              [&](const auto &e) { return e.request == request; }));
    }
};

TEST_F(StreamTest, OpenFormatChangesAndRefusals)
{
    // (What is offered and negotiated is the stream format test's.)
    NTSTATUS status = STATUS_PENDING;
    // A size off the range's steps is refused at open.
    EXPECT_EQ(adapter().openVideoStream(STREAM_FORMAT_I420, 321, 240, &status), nullptr);
    EXPECT_EQ(status, STATUS_TOO_MANY_NODES);

    std::unique_ptr<Stream> stream = open(STREAM_FORMAT_I420, 176, 144);
    EXPECT_EQ(stream->object().StreamHeaderMediaSpecific, 64u);
    EXPECT_EQ(stream->frameBytes(), 176u * 144 * 3 / 2);
    // One instance only, whatever the format.
    EXPECT_EQ(adapter().openVideoStream(STREAM_FORMAT_I420, 176, 144, &status), nullptr);
    EXPECT_EQ(status, STATUS_TOO_MANY_NODES);
    EXPECT_EQ(adapter().openVideoStream(STREAM_FORMAT_YUY2, 320, 240, &status), nullptr);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(device()->openCount, 1u);

    // Stopped: a read ends at once with nothing; the state reads back.
    RequestPtr early = stream->queueRead(stream->frameBytes());
    EXPECT_TRUE(early->completed());
    EXPECT_EQ(ended(early), Ended(STATUS_SUCCESS, 0u));
    EXPECT_EQ(stream->getState(), std::pair(STATUS_SUCCESS, KSSTATE_STOP));

    // Alone on the stream, any offered format may be proposed and set.
    const std::vector<uint8_t> cif = machine().videoFormat(STREAM_FORMAT_YUY2, 352, 288);
    EXPECT_EQ(stream->proposeFormat(cif.data(), cif.size()), STATUS_SUCCESS);
    const std::vector<uint8_t> bad = machine().videoFormat(STREAM_FORMAT_YUY2, 356, 288);
    EXPECT_EQ(stream->proposeFormat(bad.data(), bad.size()), STATUS_TOO_MANY_NODES);
    EXPECT_EQ(stream->setFormat(cif.data(), cif.size()), STATUS_SUCCESS);
    EXPECT_EQ(stream->frameBytes(), 352u * 288 * 2);
    EXPECT_EQ(device()->streamFormatIndex, STREAM_FORMAT_YUY2);

    EXPECT_EQ(stream->setState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(stream->getState(), std::pair(STATUS_NO_DATA_DETECTED, KSSTATE_PAUSE));
    EXPECT_EQ(stream->setFormat(cif.data(), cif.size()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stream->close(), STATUS_SUCCESS); // stops first
    // Closed: another size opens.
    stream = open(STREAM_FORMAT_RGB24, 640, 480);
    EXPECT_EQ(device()->openCount, 1u);
}

TEST_F(StreamTest, StateMachineStartsThePipelineOnceAndStopsItOnce)
{
    std::unique_ptr<Stream> stream = open(STREAM_FORMAT_UYVY, 176, 144);
    for (const KSSTATE state : {KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_PAUSE})
        EXPECT_EQ(stream->setState(state), STATUS_SUCCESS);
    EXPECT_EQ(commands(zm4::emu::kGotoHiPower), 1);
    EXPECT_TRUE(machine().camera().powered());
    // Three reads left waiting in PAUSE end at STOP, in their order.
    std::vector<RequestPtr> reads;
    for (int i = 0; i < 3; ++i)
        reads.push_back(stream->queueRead(stream->frameBytes()));
    machine().runFor(500 * kMillisecond);
    EXPECT_FALSE(reads[0]->completed()); // not RUN: no frame is given to it
    EXPECT_EQ(stream->stop(), STATUS_SUCCESS);
    EXPECT_FALSE(machine().camera().powered());
    EXPECT_EQ(commands(zm4::emu::kGotoLoPower), 1);
    const std::vector<uint64_t> log = adapter().completionLog();
    for (size_t i = 0; i < reads.size(); ++i) {
        EXPECT_EQ(ended(reads[i]), Ended(STATUS_TIMEOUT, 0u));
        EXPECT_EQ(log[log.size() - 4 + i], reads[i]->serial());
    }
    EXPECT_EQ(device()->runningCount, 0);

    // Only STOP from PAUSE ends a run: through ACQUIRE the pipeline stays up
    // until the device goes.
    EXPECT_EQ(stream->setState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(stream->setState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(stream->setState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(commands(zm4::emu::kGotoHiPower), 2);
    EXPECT_EQ(commands(zm4::emu::kGotoLoPower), 1);
    EXPECT_EQ(device()->runningCount, 1);
}

TEST_F(StreamTest, ReadsEndByFrameHeldFrameFillerCancelAndStopPacedOnesOnTime)
{
    std::unique_ptr<Stream> stream = open(STREAM_FORMAT_YUY2, 176, 144);
    ASSERT_EQ(stream->run(), STATUS_SUCCESS);
    // Two reads, one frame: the older read gets it, the other waits on.
    RequestPtr first = stream->queueRead(stream->frameBytes());
    RequestPtr second = stream->queueRead(stream->frameBytes());
    ASSERT_TRUE(machine().waitFor(first));
    EXPECT_FALSE(second->completed());
    EXPECT_EQ(ended(first), Ended(STATUS_SUCCESS, stream->frameBytes()));
    ASSERT_TRUE(machine().waitFor(second));
    // A buffer a byte short of a frame is refused at once.
    EXPECT_EQ(ended(stream->queueRead(stream->frameBytes() - 1)), Ended(STATUS_BUFFER_TOO_SMALL, 0u));

    // With no read waiting the next frame is held; a read within 200 ms of it
    // takes it at once, without waiting for the camera.
    ASSERT_TRUE(machine().runUntil([&] { return device()->frameHeld == 1; }, kSecond));
    RequestPtr direct = stream->queueRead(stream->frameBytes());
    EXPECT_TRUE(direct->completed());
    EXPECT_EQ(direct->dataUsed(), stream->frameBytes());

    // A paced client at 5 frames a second gets frames about 200 ms apart,
    // each marked delivered in its record.
    std::vector<int64_t> times;
    for (int i = 0; i < 4; ++i) {
        RequestPtr paced = stream->queueRead(stream->frameBytes(), 200000);
        ASSERT_TRUE(machine().waitFor(paced));
        times.push_back(scheduler().now());
        EXPECT_EQ(paced->vfwInfo()->FrameInterval, STREAM_VFW_DELIVERED);
    }
    for (size_t i = 2; i < times.size(); ++i)
        EXPECT_NEAR(static_cast<double>(times[i] - times[i - 1]), 200.0 * kMillisecond, 40.0 * kMillisecond);

    // The camera goes quiet: after 2.5 s the oldest read gets a filler frame.
    EXPECT_FALSE(problemRecorded(DEBUG_PROBLEM_FILLER_FRAME));
    machine().camera().faults().stall.on = true;
    machine().runFor(200 * kMillisecond);
    RequestPtr filled = stream->queueRead(stream->frameBytes());
    RequestPtr cancelled = stream->queueRead(stream->frameBytes());
    RequestPtr stopped = stream->queueRead(stream->frameBytes());
    const int64_t quiet = scheduler().now();
    ASSERT_TRUE(machine().waitFor(filled));
    EXPECT_GE(scheduler().now() - quiet, 2400 * kMillisecond);
    EXPECT_EQ(ended(filled), Ended(STATUS_TIMEOUT, stream->frameBytes()));
    EXPECT_TRUE(std::ranges::all_of(filled->data(), [](uint8_t b) { return b == 255; }));
    EXPECT_TRUE(problemRecorded(DEBUG_PROBLEM_FILLER_FRAME));
    EXPECT_FALSE(cancelled->completed());
    EXPECT_TRUE(stream->cancelRead(cancelled));
    EXPECT_EQ(ended(cancelled), Ended(STATUS_TIMEOUT, 0u));
    // A read queued behind a request still being handled (the data queue's drain busy) is
    // cancelled from that queue.
    device()->streamDataQueue.busy = 1;
    RequestPtr behind = stream->queueRead(stream->frameBytes());
    EXPECT_TRUE(stream->cancelRead(behind));
    device()->streamDataQueue.busy = 0;
    EXPECT_EQ(ended(behind), Ended(STATUS_TIMEOUT, 0u));
    EXPECT_FALSE(stopped->completed());
    EXPECT_EQ(stream->stop(), STATUS_SUCCESS);
    EXPECT_EQ(ended(stopped), Ended(STATUS_TIMEOUT, 0u));
}

// Keeps two reads waiting for the whole run, so that every frame finds one.
struct Counted {
    size_t delivered = 0;
    uint64_t uploadedAtFirst = 0;
    uint64_t uploadedAtEnd = 0;
    bool filler = false;
};

Counted captureFor(zm4::host::Machine &machine, Stream &stream, int64_t duration)
{
    Counted counted;
    std::vector<std::vector<uint8_t>> buffers(2, std::vector<uint8_t>(stream.frameBytes()));
    std::vector<RequestPtr> reads = {stream.queueRead(buffers[0]), stream.queueRead(buffers[1])};
    const int64_t end = machine.scheduler().now() + duration;
    size_t next = 0;
    while (machine.scheduler().now() < end) {
        if (!machine.runUntil([&] { return reads[next]->completed(); }, end - machine.scheduler().now()))
            break;
        counted.filler |= reads[next]->status() != STATUS_SUCCESS;
        if (counted.delivered++ == 0)
            counted.uploadedAtFirst = machine.camera().counters().framesUploaded;
        counted.uploadedAtEnd = machine.camera().counters().framesUploaded;
        reads[next] = stream.queueRead(buffers[next]);
        next ^= 1;
    }
    stream.stop();
    return counted;
}

TEST_F(StreamTest, NoFrameIsLostInAMinuteAtTheRateTheBandwidthAllows)
{
    machine().camera().setScene(zm4::emu::makeFlatScene(120, 128, 128));
    const struct {
        LONG width, height;
        bool compressed;
        size_t minFrames, maxFrames;
    } cases[] = {
        {176, 144, true, 1700, 1860}, // 30 frames a second: changes only
        {352, 288, true, 1700, 1860},
        {176, 144, false, 850, 960}, // 53 ms of packets: every second sensor frame
        {352, 288, false, 230, 290}, // 212 ms of packets
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << (c.compressed ? " compressed" : ""));
        ASSERT_TRUE(registry().write(zm4::host::kDriverKeyPath, "VidConf", RegistryValue::dword(1)));
        ASSERT_TRUE(registry().write(zm4::host::kDriverKeyPath, "ConfValue",
                                     RegistryValue::dword(c.compressed ? 5 : 1)));
        std::unique_ptr<Stream> stream = open(STREAM_FORMAT_YUY2, c.width, c.height);
        ASSERT_EQ(stream->run(), STATUS_SUCCESS);
        const Counted counted = captureFor(machine(), *stream, 60 * kSecond);
        EXPECT_FALSE(counted.filler);
        EXPECT_EQ(counted.delivered - 1, counted.uploadedAtEnd - counted.uploadedAtFirst);
        EXPECT_GE(counted.delivered, c.minFrames);
        EXPECT_LE(counted.delivered, c.maxFrames);
    }
    EXPECT_FALSE(problemRecorded(DEBUG_PROBLEM_FILLER_FRAME));
}

// A property set while streaming reaches the camera and frames go on. (The
// camera unplugged mid-stream is the recovery test's.)
TEST_F(StreamTest, PropertiesWhileStreamingReachTheCameraAndFramesGoOn)
{
    std::unique_ptr<Stream> stream = open(STREAM_FORMAT_RGB24, 640, 480);
    ASSERT_EQ(stream->run(), STATUS_SUCCESS);
    std::vector<uint8_t> buffer(stream->frameBytes());
    ASSERT_EQ(machine().readFrame(*stream, buffer)->status(), STATUS_SUCCESS);
    const auto before = machine().camera().colourParams();
    ASSERT_EQ(adapter().setProperty(PROPSETID_VIDCAP_VIDEOPROCAMP, PROPMAN_VPA_CONTRAST, 8000, 0).status,
              STATUS_SUCCESS);
    EXPECT_EQ(machine().camera().colourParams()[1], 80 - 12);
    EXPECT_EQ(machine().camera().colourParams()[0], before[0]);
    EXPECT_EQ(adapter().getProperty(PROPSETID_VIDCAP_VIDEOPROCAMP, PROPMAN_VPA_CONTRAST).value, 8000);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(machine().readFrame(*stream, buffer)->dataUsed(), buffer.size());
}

} // namespace
