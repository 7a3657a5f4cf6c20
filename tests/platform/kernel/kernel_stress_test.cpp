// The kernel primitives in real time with several threads: spin locks as real
// mutual exclusion, concurrent work items and timer events at dispatch level
// (the driver's own stress cases exercise queues and events end to end).
// These are the stress tests run under ThreadSanitizer (ctest -L stress); they
// never assert on elapsed time, only on what the threads produced.
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel/host.h"

namespace zm4::host {
namespace {

constexpr int64_t kGenerousLimit = 20 * kSecond; // a bound for hangs, never reached when correct

KernelOptions realTime(bool fuzz)
{
    KernelOptions options;
    options.clock = Clock::Real;
    options.delayFuzz = fuzz;
    options.fuzzSeed = 12345;
    options.workerThreads = 3;
    return options;
}

LARGE_INTEGER relative(int64_t duration100ns)
{
    LARGE_INTEGER time;
    time.QuadPart = -duration100ns;
    return time;
}

void contendSpinLock(bool fuzz, int threads, int rounds)
{
    Kernel kernel(realTime(fuzz));
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    HostVerifierNameLock(&lock, "contended lock");
    long counter = 0; // plain memory: only the lock protects it
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> wrongIrql{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < rounds; ++i) {
                KIRQL old;
                KeAcquireSpinLock(&lock, &old);
                if (inside.fetch_add(1) != 0)
                    overlapped = true;
                if (KeGetCurrentIrql() != DISPATCH_LEVEL || old != PASSIVE_LEVEL)
                    wrongIrql = true;
                counter = counter + 1;
                inside.fetch_sub(1);
                KeReleaseSpinLock(&lock, old);
            }
        });
    }
    for (auto &worker : workers)
        worker.join();
    EXPECT_EQ(counter, long{threads} * rounds);
    EXPECT_FALSE(overlapped);
    EXPECT_FALSE(wrongIrql);
}

TEST(KernelStress, SpinLockExcludesSeveralThreadsWithDelayFuzzing)
{
    contendSpinLock(true, 4, 300);
}

TEST(KernelStress, WorkItemsRunConcurrently)
{
    // The first item can only finish if the second runs while it waits.
    Kernel kernel(realTime(false));
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
