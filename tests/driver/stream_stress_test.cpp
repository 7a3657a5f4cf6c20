// Real time, meant for ThreadSanitizer: ten seconds of capture paced by the
// camera's 1-ms frames, the driver's threads, the bus's and the application's
// at once, with the frames the camera uploaded reaching the two reads kept
// waiting, and nothing left behind.
#include "driver/stream_data.h"
#include "port_env.h"

using zm4::host::kSecond;
using zm4::host::RequestPtr;

namespace {

class StreamStress : public MachineTest {
protected:
    zm4::host::MachineOptions machineOptions() const override
    {
        zm4::host::MachineOptions options;
        options.kernel.clock = zm4::host::Clock::Real;
        return options;
    }
};

TEST_F(StreamStress, TenSecondsOfFramesInRealTime)
{
    machine().camera().setScene(zm4::emu::makeFlatScene(120, 128, 128));
    NTSTATUS status = STATUS_PENDING;
    std::unique_ptr<zm4::host::Stream> stream =
        adapter().openVideoStream(STREAM_FORMAT_I420, 176, 144, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(stream->run(), STATUS_SUCCESS);
    std::vector<std::vector<uint8_t>> buffers(2, std::vector<uint8_t>(stream->frameBytes()));
    RequestPtr reads[2] = {stream->queueRead(buffers[0]), stream->queueRead(buffers[1])};
    size_t delivered = 0;
    size_t failed = 0;
    const int64_t end = scheduler().now() + 10 * kSecond;
    for (size_t next = 0; scheduler().now() < end; next ^= 1) {
        if (!machine().waitFor(reads[next], 5 * kSecond))
            break;
        delivered += 1;
        failed += reads[next]->status() != STATUS_SUCCESS ? 1 : 0;
        reads[next] = stream->queueRead(buffers[next]);
    }
    EXPECT_EQ(stream->stop(), STATUS_SUCCESS);
    for (const RequestPtr &read : reads)
        EXPECT_TRUE(read->completed());
    // Stopped: the camera is no longer polled and its counters hold still. A
    // machine too busy to poll every 1-ms frame loses packets, and with them
    // whole frames (and, starved long enough, a filler comes); when nothing was
    // lost, every frame the camera sent reached a read.
    const zm4::emu::CameraCounters sent = machine().camera().counters();
    EXPECT_LE(delivered, sent.framesUploaded + 1);
    if (sent.packetsLost == 0) {
        EXPECT_EQ(failed, 0u);
        EXPECT_GE(delivered + 2, sent.framesUploaded);
    }
}

} // namespace
