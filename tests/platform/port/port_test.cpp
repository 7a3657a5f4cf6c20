// The port library's application side against a minimal minidriver that holds
// reads: cancel, time-out callbacks, the one-shot timer, formats refused before
// they reach the driver, and the aborts when a driver breaks the request
// protocol. Reads through the real driver are the driver's stream tests.
#include <gtest/gtest.h>

#include "holding_driver.h"
#include "platform/kernel/host.h"
#include "platform/port/port.h"

namespace zm4::host {
namespace {

class PortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ASSERT_EQ(port_.loadDriver(holding::driverEntry), STATUS_SUCCESS);
        adapter_ = port_.addDevice(nullptr);
        ASSERT_EQ(adapter_->initialiseStatus(), STATUS_SUCCESS);
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
        adapter_.reset();
        EXPECT_EQ(kernel_.pool().liveBlocks(kPortPoolTag), 0u) << kernel_.pool().leakReport();
    }

    Kernel kernel_;
    PortLibrary port_;
    std::unique_ptr<Adapter> adapter_;
    std::unique_ptr<Stream> stream_;
};

TEST_F(PortTest, CancelReachesTheDriverOnlyWhileTheReadIsPending)
{
    RequestPtr read = stream_->queueRead(16);
    EXPECT_TRUE(stream_->cancelRead(read));
    EXPECT_TRUE(read->completed());
    EXPECT_EQ(read->status(), STATUS_CANCELLED);
    EXPECT_FALSE(stream_->cancelRead(read));
    EXPECT_EQ(holding::state().cancels, 1u);
}

TEST_F(PortTest, PendingRequestsAreReportedWhenTheirTimeOutRunsOut)
{
    adapter_->setRequestTimeout(2);
    RequestPtr read = stream_->queueRead(16);
    // Counted down once a second; the driver reloads the counter each time.
    kernel_.scheduler().runFor(5 * kSecond + 500 * kMillisecond);
    EXPECT_EQ(holding::state().timeouts, 2u);
    EXPECT_EQ(adapter_->timeoutCallbacks(), 2u);

    holding::completeRead(STATUS_SUCCESS, 0);
    EXPECT_TRUE(kernel_.scheduler().runUntilIdle(10 * kSecond));
    EXPECT_EQ(holding::state().timeouts, 2u);
}

struct TimerLog {
    std::vector<int64_t> times;
    std::vector<KIRQL> levels;
};

void recordTimer(PVOID context)
{
    auto *log = static_cast<TimerLog *>(context);
    log->times.push_back(Kernel::current().scheduler().now());
    log->levels.push_back(KeGetCurrentIrql());
}

TEST_F(PortTest, TimerRunsOnceAtDispatchLevelAndSchedulingAgainReplacesIt)
{
    TimerLog log;
    const int64_t start = kernel_.scheduler().now();
    PVOID extension = adapter_->deviceExtension();
    StreamClassScheduleTimer(nullptr, extension, 1000, recordTimer, &log);
    StreamClassScheduleTimer(nullptr, extension, 5000, recordTimer, &log);
    kernel_.scheduler().runFor(20 * kMillisecond);
    ASSERT_EQ(log.times.size(), 1u);
    EXPECT_EQ(log.times[0] - start, 5 * kMillisecond);
    EXPECT_EQ(log.levels[0], DISPATCH_LEVEL);

    StreamClassScheduleTimer(nullptr, extension, 1000, recordTimer, &log);
    StreamClassScheduleTimer(nullptr, extension, 0, recordTimer, &log); // cancels
    kernel_.scheduler().runFor(20 * kMillisecond);
    EXPECT_EQ(log.times.size(), 1u);
}

TEST_F(PortTest, FormatsShorterThanTheyClaimNeverReachTheDriver)
{
    KSDATAFORMAT format{};
    format.FormatSize = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);
    NTSTATUS status = STATUS_PENDING;
    EXPECT_EQ(adapter_->openStream(0, &format, sizeof(format), &status), nullptr);
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stream_->setFormat(&format, sizeof(format)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(adapter_->dataIntersection(0, &format, sizeof(format), 512).status, STATUS_INVALID_PARAMETER);
    // Open, init and initialisation complete only.
    EXPECT_EQ(adapter_->completionLog().size(), 3u);
}

TEST_F(PortTest, ARequestCompletedTwiceAborts)
{
    RequestPtr read = stream_->queueRead(16);
    HW_STREAM_REQUEST_BLOCK *srb = holding::state().reads.front();
    HW_STREAM_OBJECT *object = srb->StreamObject;
    holding::completeRead(STATUS_SUCCESS, 0);
    EXPECT_DEATH(StreamClassStreamNotification(StreamRequestComplete, object, srb), "completed twice");
}

TEST_F(PortTest, ClosingAStreamWithAPendingReadAbortsNamingIt)
{
    stream_->queueRead(16);
    EXPECT_DEATH(stream_->close(), "request #[0-9]+ \\(SRB_READ_DATA, stream 0\\) is still pending");
}

} // namespace
} // namespace zm4::host
