// Real-time stress: the single-drainer request queue, and the debug record, under
// concurrent arrival from several threads. Meant to run under ThreadSanitizer.

#include <atomic>
#include <thread>
#include <vector>

#include "driver/debug.h"
#include "driver/extns.h"
#include "driver_test_env.h"

using zm4::host::RegistryValue;

namespace {

class RealTimeTest : public DriverTest {
protected:
    zm4::host::KernelOptions kernelOptions() const override
    {
        zm4::host::KernelOptions options;
        options.clock = zm4::host::Clock::Real;
        options.delayFuzz = true;
        options.fuzzSeed = 7;
        return options;
    }
};

using SrbQueueStress = RealTimeTest;

TEST_F(SrbQueueStress, ExactlyOneDrainerProcessesEveryRequestInArrivalOrder)
{
    constexpr int kThreads = 4;
    constexpr int kPerThread = 150;

    struct Request {
        _HW_STREAM_REQUEST_BLOCK srb{};
        PVOID link = nullptr;
    };
    std::vector<Request> requests(kThreads * kPerThread);
    for (size_t i = 0; i < requests.size(); ++i) {
        setSrbTestId(&requests[i].srb, static_cast<int>(i));
        requests[i].srb.SRBExtension = &requests[i].link;
    }

    EXTNS_SRB_QUEUE queue{};
    // The first arrival initialises the queue before any other can reach it.
    Extns_SRBQueue_CheckInitialise(&queue);

    std::atomic<int> processing{0};
    std::atomic<int> overlaps{0};
    // Written only by whichever thread holds the drain; the queue's lock is
    // what orders one drainer's writes before the next one's.
    std::vector<int> processed;
    processed.reserve(requests.size());

    auto process = [&](_HW_STREAM_REQUEST_BLOCK *srb) {
        if (processing.fetch_add(1) != 0)
            overlaps.fetch_add(1);
        processed.push_back(srbTestId(srb));
        processing.fetch_sub(1);
    };

    auto arrive = [&](int thread) {
        for (int n = 0; n < kPerThread; ++n) {
            _HW_STREAM_REQUEST_BLOCK *srb = &requests[static_cast<size_t>(thread * kPerThread + n)].srb;
            Extns_SRBQueue_CheckInitialise(&queue);
            if (Extns_SRBQueue_AddIfBusy(&queue, srb) != 0)
                continue; // the drainer will see to it
            process(srb);
            for (;;) {
                _HW_STREAM_REQUEST_BLOCK *next = nullptr;
                Extns_SRBQueue_Remove(&queue, &next);
                if (next == nullptr)
                    break;
                process(next);
            }
        }
    };

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(arrive, t);
    for (auto &thread : threads)
        thread.join();

    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(queue.head, nullptr);
    EXPECT_EQ(queue.busy, 0u);
    ASSERT_EQ(processed.size(), requests.size());
    // Every request once, and each thread's requests in the order it sent them.
    std::vector<int> seen(requests.size(), 0);
    std::vector<int> lastOfThread(kThreads, -1);
    for (int id : processed) {
        seen[static_cast<size_t>(id)] += 1;
        const int thread = id / kPerThread;
        EXPECT_LT(lastOfThread[static_cast<size_t>(thread)], id);
        lastOfThread[static_cast<size_t>(thread)] = id;
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<long>(requests.size()));
}

using WorkerStress = RealTimeTest;

TEST_F(WorkerStress, WorkersCreatedFromSeveralThreadsEachRunOnce)
{
    constexpr int kThreads = 3;
    constexpr int kPerThread = 100;
    static std::atomic<int> runs[kThreads * kPerThread];
    static std::atomic<int> notPassive;
    for (auto &r : runs)
        r.store(0);
    notPassive.store(0);

    auto routine = [](PVOID parameter) {
        PVOID context;
        ULONG_PTR index, unused;
        Extns_Worker_Destroy(static_cast<EXTNS_WORKER *>(parameter), &context, &index, &unused);
        if (KeGetCurrentIrql() != PASSIVE_LEVEL)
            notPassive.fetch_add(1);
        runs[index].fetch_add(1);
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, routine] {
            for (int n = 0; n < kPerThread; ++n) {
                KIRQL old;
                KeRaiseIrql(DISPATCH_LEVEL, &old);
                Extns_Worker_Create(nullptr, static_cast<ULONG_PTR>(t * kPerThread + n), 0, routine);
                KeLowerIrql(old);
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    ASSERT_TRUE(scheduler().runUntil(
        [] {
            for (auto &r : runs)
                if (r.load() == 0)
                    return false;
            return true;
        },
        10 * zm4::host::kSecond));
    scheduler().runUntilIdle(10 * zm4::host::kSecond);
    for (auto &r : runs)
        EXPECT_EQ(r.load(), 1);
    EXPECT_EQ(notPassive.load(), 0);
}

using DebugStress = RealTimeTest;

TEST_F(DebugStress, ConcurrentProblemsAreEachListedOnce)
{
    Debug_Init();
    constexpr int kThreads = 4;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            // Every thread records the same ten codes, each starting elsewhere.
            for (int round = 0; round < 5; ++round)
                for (int i = 0; i < 10; ++i)
                    Debug_ProblemSet(1u << ((i + t * 3) % 10), 1);
        });
    }
    for (auto &thread : threads)
        thread.join();

    const DEBUG_RECORD *record = Debug_GetRecord();
    ASSERT_EQ(record->problemCount, 10u);
    EXPECT_EQ(record->problemBits, 0x3FFu);
    std::vector<uint8_t> listed(record->problemList, record->problemList + 10);
    // The registry mirror was written with the final list, not an older one.
    EXPECT_EQ(stored("DebugList"), RegistryValue::binary(listed));
    // Bits 8 and 9 list as 0; the eight low codes appear once each.
    std::vector<uint8_t> sorted = listed;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<uint8_t>{0, 0, 1, 2, 4, 8, 16, 32, 64, 128}));
}

} // namespace
