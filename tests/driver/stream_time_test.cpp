// Frame pacing in simulated time: for a read of a paced client, the decisions
// at given moments after the first frame, for the interval words that matter.
// The reads are held by a minimal minidriver so that the port knows them.
#include "../platform/port/holding_driver.h"
#include "driver/stream_time.h"
#include "port_env.h"

using zm4::host::kMillisecond;

namespace {

class StreamTimeTest : public PortDriverTest {
protected:
    void SetUp() override
    {
        holding::state().extensionSize = sizeof(DEVICE_EXTENSION);
        PortDriverTest::SetUp();
        KSDATAFORMAT format{};
        format.FormatSize = sizeof(format);
        NTSTATUS status = STATUS_PENDING;
        stream_ = adapter_->openStream(0, &format, sizeof(format), &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
    }

    void TearDown() override
    {
        while (!holding::state().reads.empty())
            holding::completeRead(STATUS_SUCCESS, 0);
        stream_.reset();
        PortDriverTest::TearDown();
    }

    zm4::host::DriverEntryRoutine entryRoutine() const override { return holding::driverEntry; }

    // Queues a read and returns the request block the driver holds for it.
    HW_STREAM_REQUEST_BLOCK *read(std::optional<ULONG> interval)
    {
        reads_.push_back(stream_->queueRead(4, interval));
        return holding::state().reads.back();
    }

    // The decisions at each step: wait that many ms, then ask.
    std::vector<ULONG> decide(HW_STREAM_REQUEST_BLOCK *srb, const std::vector<int> &waits)
    {
        std::vector<ULONG> decisions;
        for (int wait : waits) {
            scheduler().runFor(wait * kMillisecond);
            decisions.push_back(StreamTime_VfWStreamTiming(device(), srb));
        }
        return decisions;
    }

    std::unique_ptr<zm4::host::Stream> stream_;
    std::vector<zm4::host::RequestPtr> reads_;
};

TEST_F(StreamTimeTest, PacedClientAt30FramesPerSecondSpecialWordsAndUnpacedReads)
{
    using Decisions = std::vector<ULONG>;
    const struct {
        const char *name;
        std::vector<int> waits;
        Decisions expected;
    } cases[] = {
        {"10 ms after the first is too early, 40 ms after it is due", {0, 10, 30}, {1, 0, 1}},
        {"5 ms before due, 20 ms since the previous decision", {0, 8, 20}, {1, 0, 1}},
        {"5 ms before due, 2 ms since the previous decision; 3 ms before, it is time",
         {0, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2},
         {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
        {"a late frame moves the due time a whole interval on", {0, 50, 10, 30}, {1, 1, 0, 1}},
    };
    for (const auto &c : cases) {
        StreamTime_VfWStreamReset(device(), 0);
        EXPECT_EQ(decide(read(33333), c.waits), c.expected) << c.name;
        EXPECT_EQ(device()->pacingActive, 1u);
    }

    StreamTime_VfWStreamReset(device(), 0);
    HW_STREAM_REQUEST_BLOCK *paced = read(33333);
    EXPECT_EQ(decide(paced, {0}), std::vector<ULONG>{1});
    // "Deliver nothing now" holds every frame and ends pacing...
    StreamClassGetVfWInfo(paced)->FrameInterval = STREAM_VFW_DELIVER_NOTHING;
    EXPECT_EQ(decide(paced, {1, 100, 1000}), (std::vector<ULONG>{0, 0, 0}));
    EXPECT_EQ(device()->pacingActive, 0u);
    // ...and 0, or an interval under a millisecond, delivers every frame.
    for (ULONG word : {0u, 1u, 999u}) {
        StreamClassGetVfWInfo(paced)->FrameInterval = word;
        EXPECT_EQ(decide(paced, {0, 0, 1}), (std::vector<ULONG>{1, 1, 1})) << word;
        EXPECT_EQ(device()->pacingActive, 0u);
        // Only a zero word leaves the request unpaced: a held frame is then kept for the next read.
        EXPECT_EQ(StreamTime_StreamMode(device(), paced), word != 0 ? 1u : 0u) << word;
    }
    HW_STREAM_REQUEST_BLOCK *plain = read(std::nullopt);
    EXPECT_EQ(decide(plain, {0, 0}), (std::vector<ULONG>{1, 1}));
    EXPECT_EQ(device()->pacingActive, 0u);
    EXPECT_EQ(StreamTime_StreamMode(device(), plain), 0u);
}

} // namespace
