// The kernel primitives in real time with several threads: spin locks as real
// mutual exclusion, a single-drainer queue fed from threads, work items and
// timer events, events handing work between threads, concurrent work items.
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

TEST(KernelStress, SpinLockExcludesSeveralThreads)
{
    contendSpinLock(false, 4, 20000);
}

TEST(KernelStress, SpinLockExcludesSeveralThreadsWithDelayFuzzing)
{
    contendSpinLock(true, 4, 300);
}

// The serialising pattern of the driver's request queues, built on the
// kernel's spin lock: whoever finds the queue idle drains it, everyone else
// only appends, and exactly one thread drains at any time.
class DrainedQueue {
public:
    DrainedQueue() { KeInitializeSpinLock(&lock_); }

    void arrive(int item)
    {
        KIRQL old;
        KeAcquireSpinLock(&lock_, &old);
        if (busy_) {
            pending_.push_back(item);
            KeReleaseSpinLock(&lock_, old);
            return;
        }
        busy_ = true;
        KeReleaseSpinLock(&lock_, old);
        for (;;) {
            process(item);
            KeAcquireSpinLock(&lock_, &old);
            if (pending_.empty()) {
                busy_ = false;
                KeReleaseSpinLock(&lock_, old);
                return;
            }
            item = pending_.front();
            pending_.pop_front();
            KeReleaseSpinLock(&lock_, old);
        }
    }

    // Read once every producer has finished.
    const std::vector<int> &processed() const { return processed_; }
    bool overlapped() const { return overlapped_; }
    size_t count() const { return count_.load(); }

private:
    void process(int item)
    {
        if (draining_.fetch_add(1) != 0)
            overlapped_ = true;
        processed_.push_back(item); // the single drainer owns it
        draining_.fetch_sub(1);
        count_.fetch_add(1);
    }

    KSPIN_LOCK lock_;
    bool busy_ = false;
    std::deque<int> pending_;
    std::vector<int> processed_;
    std::atomic<int> draining_{0};
    std::atomic<bool> overlapped_{false};
    std::atomic<size_t> count_{0};
};

void drainFromEverywhere(bool fuzz, int perProducer)
{
    Kernel kernel(realTime(fuzz));
    auto &scheduler = kernel.scheduler();
    DrainedQueue queue;
    constexpr int kThreads = 3;
    constexpr int kWorkItems = 4;
    constexpr int kTimerProducers = 2;
    constexpr int kProducers = kThreads + kWorkItems + kTimerProducers;
    auto produce = [&queue, perProducer](int producer) {
        for (int i = 0; i < perProducer; ++i)
            queue.arrive(producer * 100000 + i);
    };
    std::vector<std::thread> threads;
    for (int p = 0; p < kThreads; ++p)
        threads.emplace_back(produce, p);
    for (int p = kThreads; p < kThreads + kWorkItems; ++p)
        scheduler.queueWork([produce, p] { produce(p); });
    // Timer events arrive at dispatch level, one producer item per event.
    for (int t = 0; t < kTimerProducers; ++t) {
        const int producer = kThreads + kWorkItems + t;
        for (int i = 0; i < perProducer; ++i)
            scheduler.postAfter(i * 10, [&queue, producer, i] { queue.arrive(producer * 100000 + i); });
    }
    for (auto &thread : threads)
        thread.join();
    const size_t total = size_t{kProducers} * perProducer;
    ASSERT_TRUE(scheduler.runUntil([&] { return queue.count() == total; }, kGenerousLimit));
    ASSERT_TRUE(scheduler.runUntilIdle(kGenerousLimit));

    EXPECT_FALSE(queue.overlapped());
    // Every item exactly once, and each producer's items in the order it sent them.
    std::map<int, int> nextExpected;
    for (int item : queue.processed()) {
        const int producer = item / 100000;
        EXPECT_EQ(item % 100000, nextExpected[producer]) << "producer " << producer;
        nextExpected[producer] = item % 100000 + 1;
    }
    EXPECT_EQ(queue.processed().size(), total);
    for (int p = 0; p < kProducers; ++p)
        EXPECT_EQ(nextExpected[p], perProducer) << "producer " << p;
}

TEST(KernelStress, SingleDrainerQueueFedByThreadsWorkItemsAndTimers)
{
    drainFromEverywhere(false, 3000);
}

TEST(KernelStress, SingleDrainerQueueWithDelayFuzzing)
{
    drainFromEverywhere(true, 150);
}

TEST(KernelStress, EventsHandWorkBackAndForthBetweenThreads)
{
    Kernel kernel(realTime(true));
    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    std::vector<int> trace; // handed over by the events alone
    constexpr int kRounds = 200;
    std::atomic<bool> workerDone{false};
    std::atomic<int> failures{0};
    kernel.scheduler().queueWork([&] {
        for (int i = 0; i < kRounds; ++i) {
            LARGE_INTEGER limit = relative(kGenerousLimit);
            if (KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, &limit) != STATUS_SUCCESS)
                ++failures;
            trace.push_back(2 * i + 1);
            KeSetEvent(&pong, 0, FALSE);
        }
        workerDone = true;
    });
    for (int i = 0; i < kRounds; ++i) {
        trace.push_back(2 * i);
        KeSetEvent(&ping, 0, FALSE);
        EXPECT_EQ(KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    }
    ASSERT_TRUE(kernel.scheduler().runUntil([&] { return workerDone.load(); }, kGenerousLimit));
    EXPECT_EQ(failures.load(), 0);
    ASSERT_EQ(trace.size(), size_t{2 * kRounds});
    for (int i = 0; i < 2 * kRounds; ++i)
        EXPECT_EQ(trace[i], i);
    // A synchronization event lets one waiter through per set.
    EXPECT_EQ(KeReadStateEvent(&ping), 0);
    EXPECT_EQ(KeReadStateEvent(&pong), 0);
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

TEST(KernelStress, TimerEventsRunAtDispatchLevelInTimeOrder)
{
    Kernel kernel(realTime(false));
    auto &scheduler = kernel.scheduler();
    std::vector<int> order; // the timer thread runs events one at a time
    std::atomic<int> ran{0};
    std::atomic<bool> wrongIrql{false};
    const int64_t base = scheduler.now() + 20 * kMillisecond;
    auto event = [&](int tag) {
        return [&, tag] {
            if (KeGetCurrentIrql() != DISPATCH_LEVEL)
                wrongIrql = true;
            order.push_back(tag);
            ++ran;
        };
    };
    scheduler.postAt(base + 2 * kMillisecond, event(3));
    scheduler.postAt(base, event(1));
    scheduler.postAt(base, event(2)); // same time: posting order
    const uint64_t cancelled = scheduler.postAt(base + kSecond, event(99));
    EXPECT_TRUE(scheduler.cancel(cancelled));
    ASSERT_TRUE(scheduler.runUntil([&] { return ran.load() == 3; }, kGenerousLimit));
    ASSERT_TRUE(scheduler.runUntilIdle(kGenerousLimit));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_FALSE(wrongIrql);
    EXPECT_GE(scheduler.now(), base + 2 * kMillisecond); // the clock reached the last event

    KEVENT never;
    KeInitializeEvent(&never, SynchronizationEvent, FALSE);
    LARGE_INTEGER shortWait = relative(2 * kMillisecond);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &shortWait), STATUS_TIMEOUT);
}

TEST(KernelStress, TransferStyleLockingUnderLoadKeepsTheOrder)
{
    // Work items take the transfer excluder, then the transfer spin lock, then
    // the queue lock, while timer events take the two spin locks: the
    // lock-order verifier watches every acquisition.
    Kernel kernel(realTime(true));
    auto &scheduler = kernel.scheduler();
    KEVENT transferExcluder;
    KeInitializeEvent(&transferExcluder, SynchronizationEvent, TRUE);
    HostVerifierNameLock(&transferExcluder, "transfer excluder");
    KSPIN_LOCK transferLock, queueLock;
    KeInitializeSpinLock(&transferLock);
    KeInitializeSpinLock(&queueLock);
    HostVerifierNameLock(&transferLock, "transfer spin lock");
    HostVerifierNameLock(&queueLock, "empty-buffer queue lock");
    long buffers = 0;   // guarded by queueLock
    long resubmits = 0; // guarded by transferLock
    volatile LONG finished = 0;
    constexpr int kItems = 6;
    constexpr int kEvents = 60;
    for (int i = 0; i < kItems; ++i) {
        scheduler.queueWork([&] {
            LARGE_INTEGER limit = relative(kGenerousLimit);
            EXPECT_EQ(KeWaitForSingleObject(&transferExcluder, Executive, KernelMode, FALSE, &limit),
                      STATUS_SUCCESS);
            KIRQL old, inner;
            KeAcquireSpinLock(&transferLock, &old);
            ++resubmits;
            KeAcquireSpinLock(&queueLock, &inner);
            ++buffers;
            KeReleaseSpinLock(&queueLock, inner);
            KeReleaseSpinLock(&transferLock, old);
            KeSetEvent(&transferExcluder, 0, FALSE);
            InterlockedIncrement(&finished);
        });
    }
    for (int i = 0; i < kEvents; ++i) {
        scheduler.postAfter(i * 2000, [&] {
            KIRQL old;
            KeAcquireSpinLock(&transferLock, &old);
            ++resubmits;
            KeAcquireSpinLock(&queueLock, &old);
            --buffers;
            KeReleaseSpinLock(&queueLock, DISPATCH_LEVEL);
            KeReleaseSpinLock(&transferLock, DISPATCH_LEVEL);
            InterlockedIncrement(&finished);
        });
    }
    ASSERT_TRUE(scheduler.runUntil(
        [&] { return InterlockedCompareExchange(&finished, 0, 0) == kItems + kEvents; }, kGenerousLimit));
    ASSERT_TRUE(scheduler.runUntilIdle(kGenerousLimit));
    KIRQL old;
    KeAcquireSpinLock(&transferLock, &old);
    EXPECT_EQ(resubmits, kItems + kEvents);
    KeAcquireSpinLock(&queueLock, &old);
    EXPECT_EQ(buffers, kItems - kEvents);
    KeReleaseSpinLock(&queueLock, DISPATCH_LEVEL);
    KeReleaseSpinLock(&transferLock, PASSIVE_LEVEL);
    EXPECT_EQ(KeReadStateEvent(&transferExcluder), 1);
}

TEST(RealTimeKernel, DestroyingItWhileAWorkItemWaitsForEverAborts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto kernel = std::make_unique<Kernel>(realTime(false));
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            std::atomic<bool> waiting{false};
            kernel->scheduler().queueWork([&] {
                waiting = true;
                KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
            });
            kernel->scheduler().runUntil([&] { return waiting.load(); }, kGenerousLimit);
            kernel.reset();
        },
        "no time-out by .* was still waiting when the kernel was destroyed");
}

} // namespace
} // namespace zm4::host
