// Real time, meant for ThreadSanitizer: ten seconds of capture paced by the
// camera's 1-ms frames, with every frame the camera uploaded reaching one of
// the two reads kept waiting, and nothing left behind.
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
    EXPECT_EQ(failed, 0u);
    // About 30 frames a second of a still, compressed scene.
    EXPECT_GE(delivered, 200u);
    EXPECT_LE(delivered, 320u);
}

} // namespace
