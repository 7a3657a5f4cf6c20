// The real-time kernel runs work items concurrently (the driver's own stress
// cases exercise spin locks, queues, events and timers end to end).
// These are the stress tests run under ThreadSanitizer (ctest -L stress); they
// never assert on elapsed time, only on what the threads produced.
#include <atomic>

#include <gtest/gtest.h>

#include "platform/kernel/host.h"

namespace zm4::host {
namespace {

constexpr int64_t kGenerousLimit = 20 * kSecond; // a bound for hangs, never reached when correct

KernelOptions realTime()
{
    KernelOptions options;
    options.clock = Clock::Real;
    options.workerThreads = 3;
    return options;
}

LARGE_INTEGER relative(int64_t duration100ns)
{
    LARGE_INTEGER time;
    time.QuadPart = -duration100ns;
    return time;
}

TEST(KernelStress, WorkItemsRunConcurrently)
{
    // The first item can only finish if the second runs while it waits.
    Kernel kernel(realTime());
    KEVENT released;
    KeInitializeEvent(&released, NotificationEvent, FALSE);
    std::atomic<NTSTATUS> firstResult{STATUS_PENDING};
    std::atomic<KIRQL> itemIrql{0xFF};
    kernel.scheduler().queueWork([&] {
        itemIrql = KeGetCurrentIrql();
        LARGE_INTEGER limit = relative(kGenerousLimit);
        firstResult = KeWaitForSingleObject(&released, Executive, KernelMode, FALSE, &limit);
    });
    kernel.scheduler().queueWork([&] { KeSetEvent(&released, 0, FALSE); });
    ASSERT_TRUE(
        kernel.scheduler().runUntil([&] { return firstResult.load() != STATUS_PENDING; }, kGenerousLimit));
    EXPECT_EQ(firstResult.load(), STATUS_SUCCESS);
    EXPECT_EQ(itemIrql.load(), PASSIVE_LEVEL);
}

} // namespace
} // namespace zm4::host
