// The simulated scheduler's rules that the driver's tests rely on without
// showing them: events of the same time in posting order, work items at
// passive level, never queued twice and never nested, and waits in them that
// run only interrupt-level events and end at their deadline.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel/host.h"

namespace zm4::host {
namespace {

using Log = std::vector<std::string>;

// A wait with a relative time-out in 100-ns units; a negative one waits for ever.
NTSTATUS wait(KEVENT &event, int64_t timeout)
{
    LARGE_INTEGER time;
    time.QuadPart = -timeout;
    return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, timeout < 0 ? nullptr : &time);
}

NTSTATUS delay(int64_t duration)
{
    LARGE_INTEGER time;
    time.QuadPart = -duration;
    return KeDelayExecutionThread(KernelMode, FALSE, &time);
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
    // Posts an event that only records its name.
    uint64_t note(int64_t after, const std::string &name)
    {
        return scheduler().postAfter(after, [this, name] { log_.push_back(name); });
    }

    Kernel kernel_;
    int64_t start_ = 0;
    Log log_;
};

struct WorkRecord {
    Log *log;
    KIRQL irql = 0xFF;
};

void recordWork(PVOID parameter)
{
    auto *record = static_cast<WorkRecord *>(parameter);
    record->irql = KeGetCurrentIrql();
    record->log->push_back("work item");
}

TEST_F(SimulatedKernel, EventsOfOneTimeInPostingOrderAndWorkItemsAtPassiveLevelBetween)
{
    WorkRecord record{&log_};
    WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(&item, recordWork, &record);
    // Queued from an event at dispatch level, as a USB completion does.
    scheduler().postAfter(kMillisecond, [&] {
        log_.push_back("completion");
        ExQueueWorkItem(&item, CriticalWorkQueue);
        note(0, "same-time event");
        note(0, "second same-time event");
    });
    note(kMillisecond + 1, "later");
    scheduler().runFor(kMillisecond - 1);
    EXPECT_TRUE(log_.empty());
    scheduler().runFor(2);
    EXPECT_EQ(log_, (Log{"completion", "work item", "same-time event", "second same-time event", "later"}));
    EXPECT_EQ(record.irql, PASSIVE_LEVEL);
    // The item can be queued again once it has run, but not while queued.
    ExQueueWorkItem(&item, CriticalWorkQueue);
    EXPECT_DEATH(ExQueueWorkItem(&item, CriticalWorkQueue), "already queued");
    scheduler().runFor(0);
    EXPECT_EQ(log_.size(), 6u);
}

TEST_F(SimulatedKernel, WaitsInAWorkItemRunInterruptLevelEventsButNeverAnotherWorkItem)
{
    KEVENT never;
    KeInitializeEvent(&never, SynchronizationEvent, FALSE);
    scheduler().queueWork([&] {
        log_.push_back("first work begins");
        scheduler().queueWork([this] { log_.push_back("second work"); });
        note(kMillisecond, "event");
        EXPECT_EQ(wait(never, 5 * kMillisecond), STATUS_TIMEOUT);
        EXPECT_EQ(delay(kMillisecond), STATUS_SUCCESS);
        EXPECT_EQ(elapsed(), 6 * kMillisecond);
        log_.push_back("first work ends");
    });
    scheduler().runFor(10 * kMillisecond);
    EXPECT_EQ(log_, (Log{"first work begins", "event", "first work ends", "second work"}));
}

} // namespace
} // namespace zm4::host
