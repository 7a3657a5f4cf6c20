// The kernel primitives in simulated time: ordering of events and work items,
// waits with and without time-outs, the virtual clock, and the aborts on
// waits that can never end and on misuse of the scheduler.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel/host.h"

namespace zm4::host {
namespace {

LARGE_INTEGER relative(int64_t duration100ns)
{
    LARGE_INTEGER time;
    time.QuadPart = -duration100ns;
    return time;
}

int64_t systemTime()
{
    LARGE_INTEGER time;
    KeQuerySystemTime(&time);
    return time.QuadPart;
}

class SimulatedKernel : public ::testing::Test {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        start_ = scheduler().now();
    }
    Scheduler &scheduler() { return kernel_.scheduler(); }
    int64_t elapsed() { return scheduler().now() - start_; }

    Kernel kernel_;
    int64_t start_ = 0;
    std::vector<std::string> log_;
};

TEST_F(SimulatedKernel, ClockStartsAtAFixedSystemTimeAndMovesOnlyWhenDriven)
{
    EXPECT_EQ(systemTime(), kDefaultStartTime);
    EXPECT_EQ(systemTime(), kDefaultStartTime); // nothing moves it but the caller
    scheduler().runFor(1500 * kMillisecond);
    EXPECT_EQ(systemTime(), kDefaultStartTime + 15'000'000);
}

TEST(SimulatedKernelOptions, StartTimeCanBeChosen)
{
    KernelOptions options;
    options.startTime = 0x00000001FFFFFF00; // just below a low-word wrap
    Kernel kernel(options);
    EXPECT_EQ(systemTime(), 0x00000001FFFFFF00);
}

TEST_F(SimulatedKernel, EventsRunInTimeOrderAndEqualTimesInPostingOrder)
{
    auto post = [this](int64_t at, std::string name) {
        scheduler().postAt(start_ + at, [this, at, name] {
            EXPECT_EQ(elapsed(), at) << name;
            EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL) << name;
            log_.push_back(name);
        });
    };
    post(30, "c");
    post(10, "a1");
    post(20, "b");
    post(10, "a2");
    post(10, "a3");
    scheduler().runFor(100);
    EXPECT_EQ(log_, (std::vector<std::string>{"a1", "a2", "a3", "b", "c"}));
    EXPECT_EQ(elapsed(), 100);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SimulatedKernel, RunForStopsAtItsEndAndLaterEventsWait)
{
    scheduler().postAfter(50 * kMillisecond, [this] { log_.push_back("late"); });
    scheduler().runFor(40 * kMillisecond);
    EXPECT_TRUE(log_.empty());
    EXPECT_EQ(elapsed(), 40 * kMillisecond);
    scheduler().runFor(10 * kMillisecond); // an event due exactly at the end runs
    EXPECT_EQ(log_, std::vector<std::string>{"late"});
}

TEST_F(SimulatedKernel, CancelPreventsOnlyEventsThatHaveNotRun)
{
    const uint64_t early = scheduler().postAfter(10, [this] { log_.push_back("early"); });
    const uint64_t cancelled = scheduler().postAfter(20, [this] { log_.push_back("cancelled"); });
    EXPECT_TRUE(scheduler().cancel(cancelled));
    EXPECT_FALSE(scheduler().cancel(cancelled));
    scheduler().runFor(100);
    EXPECT_FALSE(scheduler().cancel(early));
    EXPECT_FALSE(scheduler().cancel(987654));
    EXPECT_EQ(log_, std::vector<std::string>{"early"});
}

struct WorkRecord {
    std::vector<std::string> *log;
    KIRQL irql = 0xFF;
};

void recordWork(PVOID parameter)
{
    auto *record = static_cast<WorkRecord *>(parameter);
    record->irql = KeGetCurrentIrql();
    record->log->push_back("work item");
}

TEST_F(SimulatedKernel, WorkItemsRunAtPassiveLevelInOrderWithEventsOfTheSameTime)
{
    WorkRecord record{&log_};
    WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(&item, recordWork, &record);
    // Queued from an event at dispatch level, as a USB completion does.
    scheduler().postAfter(kMillisecond, [&] {
        log_.push_back("completion");
        ExQueueWorkItem(&item, CriticalWorkQueue);
        scheduler().postAfter(0, [this] { log_.push_back("same-time event"); });
    });
    scheduler().runFor(kMillisecond - 1);
    EXPECT_TRUE(log_.empty());
    scheduler().runFor(1);
    EXPECT_EQ(log_, (std::vector<std::string>{"completion", "work item", "same-time event"}));
    EXPECT_EQ(record.irql, PASSIVE_LEVEL);
    // The item can be queued again once it has run.
    ExQueueWorkItem(&item, CriticalWorkQueue);
    scheduler().runFor(0);
    EXPECT_EQ(log_.size(), 4u);
}

TEST_F(SimulatedKernel, QueueingAWorkItemTwiceAborts)
{
    WorkRecord record{&log_};
    WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(&item, recordWork, &record);
    ExQueueWorkItem(&item, CriticalWorkQueue);
    EXPECT_DEATH(ExQueueWorkItem(&item, CriticalWorkQueue), "already queued");
    scheduler().runFor(0);
}

TEST_F(SimulatedKernel, WaitSucceedsWhenAnInterruptLevelEventSignalsInTime)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    scheduler().postAfter(3 * kMillisecond, [&] { KeSetEvent(&event, 0, FALSE); });
    LARGE_INTEGER timeout = relative(10 * kMillisecond);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    EXPECT_EQ(elapsed(), 3 * kMillisecond); // the wait ended when the event came
    EXPECT_EQ(KeReadStateEvent(&event), 0); // and took the synchronization event
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(elapsed(), 13 * kMillisecond);
}

TEST_F(SimulatedKernel, NotificationEventStaysSignalledForEveryWaiter)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    scheduler().postAfter(kMillisecond, [&] { KeSetEvent(&event, 0, FALSE); });
    LARGE_INTEGER timeout = relative(5 * kMillisecond);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(elapsed(), kMillisecond);
    KeClearEvent(&event);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
}

TEST_F(SimulatedKernel, SetAndResetReportThePreviousState)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 0);
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
}

TEST_F(SimulatedKernel, TimedOutWaitMovesTheClockToItsDeadlineAndLeavesLaterEvents)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    scheduler().postAfter(20 * kMillisecond, [&] { KeSetEvent(&event, 0, FALSE); });
    LARGE_INTEGER timeout = relative(10 * kMillisecond);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(elapsed(), 10 * kMillisecond);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    scheduler().runFor(10 * kMillisecond);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
}

TEST_F(SimulatedKernel, PollRunsNothingAndDoesNotMoveTheClock)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    scheduler().postAfter(0, [&] { KeSetEvent(&event, 0, FALSE); });
    LARGE_INTEGER poll = relative(0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    EXPECT_EQ(elapsed(), 0);
    scheduler().runFor(0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(SimulatedKernel, WaitWithoutTimeOutEndsWithThePendingEventThatSignalsIt)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    scheduler().postAfter(kSecond, [this] { log_.push_back("unrelated"); });
    scheduler().postAfter(2 * kSecond, [&] { KeSetEvent(&event, 0, FALSE); });
    scheduler().postAfter(3 * kSecond, [this] { log_.push_back("after"); });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(elapsed(), 2 * kSecond);
    EXPECT_EQ(log_, std::vector<std::string>{"unrelated"});
}

TEST_F(SimulatedKernel, WaitThatNothingCanEverSatisfyAborts)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    scheduler().postAfter(kMillisecond, [this] { log_.push_back("not the one"); });
    EXPECT_DEATH(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), "can never end");
}

TEST_F(SimulatedKernel, WaitsInAWorkItemRunInterruptLevelEventsButNeverAnotherWorkItem)
{
    KEVENT never;
    KeInitializeEvent(&never, SynchronizationEvent, FALSE);
    scheduler().queueWork([&] {
        log_.push_back("first work begins");
        scheduler().queueWork([this] { log_.push_back("second work"); });
        scheduler().postAfter(kMillisecond, [this] { log_.push_back("event"); });
        LARGE_INTEGER timeout = relative(5 * kMillisecond);
        EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
        LARGE_INTEGER pause = relative(kMillisecond);
        EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &pause), STATUS_SUCCESS);
        EXPECT_EQ(elapsed(), 6 * kMillisecond);
        log_.push_back("first work ends");
    });
    scheduler().runFor(10 * kMillisecond);
    EXPECT_EQ(log_,
              (std::vector<std::string>{"first work begins", "event", "first work ends", "second work"}));
}

TEST_F(SimulatedKernel, EventsPostedByEventsRunInsideTheSameWait)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    scheduler().postAfter(kMillisecond, [&] {
        log_.push_back("first");
        scheduler().postAfter(0, [this] { log_.push_back("same time"); });
        scheduler().postAfter(kMillisecond, [&] {
            log_.push_back("later");
            KeSetEvent(&done, 0, FALSE);
        });
    });
    LARGE_INTEGER timeout = relative(5 * kMillisecond);
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    EXPECT_EQ(elapsed(), 2 * kMillisecond);
    EXPECT_EQ(log_, (std::vector<std::string>{"first", "same time", "later"}));
}

TEST_F(SimulatedKernel, DelayRunsTheEventsDueAndEndsAtItsDeadline)
{
    scheduler().postAfter(kMillisecond, [this] { log_.push_back("due"); });
    scheduler().postAfter(3 * kMillisecond, [this] { log_.push_back("not yet"); });
    LARGE_INTEGER pause = relative(2 * kMillisecond);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &pause), STATUS_SUCCESS);
    EXPECT_EQ(elapsed(), 2 * kMillisecond);
    EXPECT_EQ(log_, std::vector<std::string>{"due"});
}

TEST_F(SimulatedKernel, RunUntilStopsTheClockWhereTheConditionBecomesTrue)
{
    int ticks = 0;
    std::function<void()> tick = [&] {
        ++ticks;
        scheduler().postAfter(10 * kMillisecond, tick);
    };
    scheduler().postAfter(10 * kMillisecond, tick);
    EXPECT_TRUE(scheduler().runUntil([&] { return ticks == 3; }, kSecond));
    EXPECT_EQ(elapsed(), 30 * kMillisecond);
    EXPECT_FALSE(scheduler().runUntil([] { return false; }, 50 * kMillisecond));
    EXPECT_EQ(elapsed(), 80 * kMillisecond);
    EXPECT_EQ(ticks, 8);
    EXPECT_FALSE(scheduler().runUntilIdle(kSecond)); // the timer re-arms for ever
}

TEST_F(SimulatedKernel, RunUntilIdleRunsEveryChainToItsEnd)
{
    int remaining = 5;
    std::function<void()> step = [&] {
        if (--remaining > 0)
            scheduler().queueWork([&] { scheduler().postAfter(kSecond, step); });
    };
    scheduler().postAfter(kSecond, step);
    EXPECT_TRUE(scheduler().runUntilIdle());
    EXPECT_EQ(remaining, 0);
    EXPECT_EQ(elapsed(), 5 * kSecond);
}

TEST_F(SimulatedKernel, DrivingTimeFromInsideAWorkItemAborts)
{
    scheduler().queueWork([this] { scheduler().runFor(kMillisecond); });
    EXPECT_DEATH(scheduler().runFor(kMillisecond), "inside a work item");
}

TEST_F(SimulatedKernel, InterlockedCountersReturnTheDocumentedValues)
{
    volatile LONG value = 5;
    EXPECT_EQ(InterlockedIncrement(&value), 6);
    EXPECT_EQ(InterlockedDecrement(&value), 5);
    EXPECT_EQ(InterlockedExchange(&value, 9), 5);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 8), 9); // no match: unchanged
    EXPECT_EQ(value, 9);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 9), 9);
    EXPECT_EQ(value, 1);
}

TEST(NoKernel, DriverRoutinesAbortWithAClearMessage)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(KeGetCurrentIrql(), "KeGetCurrentIrql called while no zm4::host::Kernel exists");
    KEVENT event{};
    EXPECT_DEATH(KeInitializeEvent(&event, NotificationEvent, FALSE), "no zm4::host::Kernel");
    EXPECT_DEATH(Kernel::current(), "no zm4::host::Kernel");
}

TEST(KernelLifetime, OnlyOneKernelAtATime)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Kernel kernel;
    EXPECT_EQ(&Kernel::current(), &kernel);
    EXPECT_DEATH(Kernel second, "second zm4::host::Kernel");
}

} // namespace
} // namespace zm4::host
