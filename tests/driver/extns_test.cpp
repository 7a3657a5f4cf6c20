// The kernel building blocks in simulated time: queues, instance records,
// workers, excluders, context blocks, deadlines, empty-buffer queues.

#include <array>
#include <vector>

#include "driver/debug.h"
#include "driver/extns.h"
#include "driver_test_env.h"

using namespace zm4::host;

namespace {

using Srb = _HW_STREAM_REQUEST_BLOCK;

// Empties the queue the way a drainer does; the ids in order.
std::vector<int> drain(EXTNS_SRB_QUEUE *queue)
{
    std::vector<int> ids;
    for (Srb *srb = nullptr;;) {
        Extns_SRBQueue_Remove(queue, &srb);
        if (srb == nullptr)
            return ids;
        ids.push_back(srbTestId(srb));
    }
}

// The drain protocol: the first arrival takes the drain (queue untouched), later
// ones queue; the drainer's empty remove ends its turn; initialising again
// keeps the state. Add keeps arrival order and clears a stale link, Replace
// puts a request back at the head, Delete (a cancel) unlinks it anywhere.
TEST_F(DriverTest, RequestQueueDrainProtocolAndOrder)
{
    EXTNS_SRB_QUEUE queue{};
    Extns_SRBQueue_CheckInitialise(&queue);
    std::array<Srb, 5> r{};
    std::array<PVOID, 5> links{};
    for (int i = 0; i < 5; ++i) {
        setSrbTestId(&r[i], i);
        r[i].SRBExtension = &links[i];
    }
    EXPECT_EQ(Extns_SRBQueue_AddIfBusy(&queue, &r[0]), 0u);
    EXPECT_EQ(queue.head, nullptr);
    EXPECT_EQ(Extns_SRBQueue_AddIfBusy(&queue, &r[1]), 1u);
    Extns_SRBQueue_CheckInitialise(&queue);
    EXPECT_EQ(queue.busy, 1u);
    Extns_SRBQueue_Delete(&queue, &r[1]);
    EXPECT_EQ(queue.busy, 1u);            // deleting a queued request leaves the drain busy
    Extns_SRBQueue_Delete(&queue, &r[1]); // no longer there
    EXPECT_EQ(Extns_SRBQueue_AddIfBusy(&queue, &r[1]), 1u);
    Srb *out = nullptr;
    Extns_SRBQueue_Remove(&queue, &out);
    EXPECT_EQ(std::pair(out, queue.busy), std::pair(&r[1], ULONG{1}));
    Extns_SRBQueue_Remove(&queue, &out);
    EXPECT_EQ(std::pair(out, queue.busy), std::pair(static_cast<Srb *>(nullptr), ULONG{0}));

    links[2] = &r[3]; // queued before: an old link
    for (int i = 0; i < 3; ++i)
        Extns_SRBQueue_Add(&queue, &r[i]);
    EXPECT_EQ(queue.busy, 0u);
    Extns_SRBQueue_Remove(&queue, &out);
    Extns_SRBQueue_Replace(&queue, out);
    EXPECT_EQ(drain(&queue), (std::vector<int>{0, 1, 2}));
    Extns_SRBQueue_Replace(&queue, &r[2]); // into an empty queue
    Extns_SRBQueue_Add(&queue, &r[3]);
    EXPECT_EQ(drain(&queue), (std::vector<int>{2, 3}));
    const std::vector<int> left[] = {{1, 2, 3}, {0, 2, 3}, {0, 1, 3}, {0, 1, 2}, {0, 1, 2, 3}};
    for (int victim = 0; victim < 5; ++victim) {
        for (int i = 0; i < 4; ++i)
            Extns_SRBQueue_Add(&queue, &r[i]);
        Extns_SRBQueue_Delete(&queue, &r[victim]);
        EXPECT_EQ(drain(&queue), left[victim]) << "deleting " << victim;
    }
}

// Occupied slots are free .. capacity-1, the newest at the lowest index; the
// newest fills a hole; a full record, an unknown or null handle, unusable
// capacities and a failed allocation change nothing and leak nothing.
TEST_F(DriverTest, StreamInstanceRecordSlots)
{
    EXTNS_STREAM_DATA record{};
    int handles[5] = {};
    auto h = [&](int i) -> PVOID { return &handles[i]; };
    auto slots = [&] { return std::array<PVOID, 3>{record.slots[0], record.slots[1], record.slots[2]}; };
    ASSERT_EQ(Extns_StreamData_Init(&record, 3), 1u);
    EXPECT_EQ(pool().liveBlocks(kWdmTag), 1u);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(Extns_StreamData_AddInstance(&record, h(i)), 1u);
    EXPECT_EQ(Extns_StreamData_AddInstance(&record, h(3)), 0u);
    EXPECT_EQ(slots(), (std::array<PVOID, 3>{h(2), h(1), h(0)}));
    Extns_StreamData_RemoveInstance(&record, h(0));
    Extns_StreamData_RemoveInstance(&record, h(4));
    Extns_StreamData_RemoveInstance(&record, nullptr); // would match the empty slot
    EXPECT_EQ(record.free, 1u);
    EXPECT_EQ(slots(), (std::array<PVOID, 3>{nullptr, h(1), h(2)}));
    EXPECT_EQ(Extns_StreamData_AddInstance(&record, h(3)), 1u);
    EXPECT_EQ(record.slots[0], h(3));
    Extns_StreamData_Finish(&record);
    EXPECT_EQ(pool().liveBlocks(kWdmTag), 0u);

    EXPECT_EQ(Extns_StreamData_Init(&record, 0), 0u);
    EXPECT_EQ(Extns_StreamData_Init(&record, 0xFFFF), 0u);
    EXPECT_EQ(Extns_StreamData_AddInstance(&record, h(0)), 0u);
    pool().failNth(1);
    EXPECT_EQ(Extns_StreamData_Init(&record, 2), 0u);
    EXPECT_EQ(record.slots, nullptr);
    EXPECT_EQ(Extns_StreamData_AddInstance(&record, h(0)), 0u);
    Extns_StreamData_RemoveInstance(&record, h(0));
    Extns_StreamData_Finish(&record);
}

// Created at dispatch level, a worker runs later, with its three values;
// either allocation failing queues nothing and leaks nothing.
TEST_F(DriverTest, WorkersRunLaterWithTheirValuesOrNotAtAll)
{
    static std::vector<std::array<ULONG_PTR, 3>> runs;
    runs.clear();
    auto routine = [](PVOID parameter) {
        PVOID context;
        ULONG_PTR v1, v2;
        Extns_Worker_Destroy(static_cast<EXTNS_WORKER *>(parameter), &context, &v1, &v2);
        runs.push_back({reinterpret_cast<ULONG_PTR>(context), v1, v2});
    };
    int device = 0;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(Extns_Worker_Create(&device, ULONG_PTR{0x123456789ABCDEF0}, 7, routine), 1u);
    KeLowerIrql(old);
    EXPECT_TRUE(runs.empty()); // deferred, not called in place
    for (int nth : {1, 2}) {
        pool().failNth(nth);
        EXPECT_EQ(Extns_Worker_Create(nullptr, 9, 9, routine), 0u) << nth;
    }
    EXPECT_EQ(pool().liveBlocks(kWdmTag), 2u);
    EXPECT_TRUE(scheduler().runUntilIdle());
    EXPECT_EQ(runs, (std::vector<std::array<ULONG_PTR, 3>>{
                        {reinterpret_cast<ULONG_PTR>(&device), ULONG_PTR{0x123456789ABCDEF0}, 7}}));
}

// The holder lets go within the 1.2-s time-out (the waiter gets in then), just
// after it or never (the waiter goes on as if it held the lock, with problem
// 8). The test acquire of a held one gives up after 1 ms, which is no problem;
// a free excluder is taken at once by either call, and the auto-reset event
// lets exactly one taker in after each release.
TEST_F(DriverTest, ExcluderWaitsOnePointTwoSecondsAndTestAcquireOneMillisecond)
{
    Debug_Init();
    EXTNS_EXCLUDER excluder{};
    Extns_Excluder_Initialise(&excluder);
    int64_t start = 0;
    auto elapsed = [&] { return scheduler().now() - start; };
    auto problem8 = [] { return (Debug_GetRecord()->problemBits & DEBUG_PROBLEM_EXCLUDER_TIMEOUT) != 0; };

    Extns_Excluder_Acquire(&excluder, "holder");
    start = scheduler().now();
    EXPECT_EQ(elapsed(), 0);
    EXPECT_EQ(Extns_Excluder_Test_Acquire(&excluder, "try"), 0u);
    EXPECT_EQ(elapsed(), kMillisecond);
    EXPECT_EQ(excluder.owned, 1u);
    EXPECT_FALSE(problem8());
    Extns_Excluder_Release(&excluder);
    EXPECT_EQ(excluder.owned, 0u);
    start = scheduler().now();
    EXPECT_EQ(Extns_Excluder_Test_Acquire(&excluder, "try"), 1u);
    EXPECT_EQ(elapsed(), 0);
    EXPECT_EQ(excluder.owned, 1u);
    Extns_Excluder_Release(&excluder);

    for (int64_t release : {500 * kMillisecond, 1200 * kMillisecond + 1, int64_t{0}}) {
        const bool late = release == 0 || release > 1200 * kMillisecond;
        Debug_ProblemClearAll();
        Extns_Excluder_Acquire(&excluder, "holder");
        start = scheduler().now();
        if (release != 0)
            scheduler().postAfter(release, [&] { Extns_Excluder_Release(&excluder); });
        Extns_Excluder_Acquire(&excluder, "waiter");
        EXPECT_EQ(elapsed(), late ? 1200 * kMillisecond : release);
        EXPECT_EQ(excluder.owned, 1u);
        EXPECT_EQ(problem8(), late);
        scheduler().runUntilIdle();
        Extns_Excluder_Release(&excluder);
        if (release == 0) // each party releases once
            Extns_Excluder_Release(&excluder);
    }
    EXPECT_EQ(stored("DebugList"), RegistryValue::binary({8}));
    EXPECT_EQ(Extns_Excluder_Test_Acquire(&excluder, "first"), 1u);
    EXPECT_EQ(Extns_Excluder_Test_Acquire(&excluder, "second"), 0u);
    Extns_Excluder_Release(&excluder);
}

// A context block that could not be allocated is harmless to decode, write
// and delete (the round trip is the link's isochronous test's).
TEST_F(DriverTest, MissingContextBlockIsHarmless)
{
    EXTNS_CONTEXT *context = nullptr;
    ULONG_PTR first = 5, second = 6;
    pool().failNth(1);
    Extns_Context_Create(&context, 1, 2);
    EXPECT_EQ(context, nullptr);
    Extns_Context_Decode(context, &first, &second);
    EXPECT_EQ(std::pair(first, second), std::pair(ULONG_PTR{5}, ULONG_PTR{6}));
    Extns_Context_Write(context, 1, 2);
    Extns_Context_Delete(context);
}

class DeadlineTest : public DriverTest {
protected:
    // The clock starts 0.5 ms before its low word wraps.
    zm4::host::KernelOptions kernelOptions() const override
    {
        return {.startTime = (int64_t{0x1D9A} << 32) + 0xFFFFFFFF - 5000};
    }
};

// A deadline before the low word's wrap is seen passed after it; one landing
// in the next high word waits for its time there. A deadline passes strictly
// after its time; the duration is a 32-bit product (one more millisecond than
// fits wraps round to 2,704 units).
TEST_F(DeadlineTest, DeadlinesAcrossTheLowWordsWrapPassStrictlyAfterTheirTime)
{
    LARGE_INTEGER before, after, deadline;
    Extns_TimeOut_Set(&before, 0);
    Extns_TimeOut_Set(&after, 1);
    scheduler().runFor(6 * 1000); // past the wrap, before the later deadline
    EXPECT_EQ(Extns_TimeOut_TimedOut(&before), 1u);
    EXPECT_EQ(Extns_TimeOut_TimedOut(&after), 0u);
    scheduler().runFor(5000);
    EXPECT_EQ(Extns_TimeOut_TimedOut(&after), 1u);

    const int64_t now = scheduler().now();
    Extns_TimeOut_Set(&deadline, 429496);
    EXPECT_EQ(deadline.QuadPart, now + 4'294'960'000);
    Extns_TimeOut_Set(&deadline, 429497);
    EXPECT_EQ(deadline.QuadPart, now + 2704);
    Extns_TimeOut_Set(&deadline, 1000);
    scheduler().runFor(kSecond);
    EXPECT_EQ(Extns_TimeOut_TimedOut(&deadline), 0u);
    scheduler().runFor(1);
    EXPECT_EQ(Extns_TimeOut_TimedOut(&deadline), 1u);
}

// First in, first out, with their values (a stale link is cleared); an empty
// queue gives zeros; a node taken out can go back in.
TEST_F(DriverTest, EmptyBuffersComeBackFirstInFirstOut)
{
    EXTNS_EMPTY_BUFFER_QUEUE queue{};
    KeInitializeSpinLock(&queue.lock);
    EXTNS_EMPTY_BUFFER_NODE nodes[3] = {};
    nodes[1].next = &nodes[2];
    using Taken = std::vector<std::pair<EXTNS_EMPTY_BUFFER_NODE *, ULONG_PTR>>;
    auto takeAll = [&] {
        Taken out;
        EXTNS_EMPTY_BUFFER_NODE *node;
        ULONG_PTR value = 1;
        for (Extns_EmptyBufferQueue_Remove(&queue, &node, &value); node != nullptr;
             Extns_EmptyBufferQueue_Remove(&queue, &node, &value))
            out.emplace_back(node, value);
        EXPECT_EQ(value, 0u);
        return out;
    };
    Extns_EmptyBufferQueue_Add(&queue, &nodes[1], 1000);
    Extns_EmptyBufferQueue_Add(&queue, &nodes[0], 2000);
    Extns_EmptyBufferQueue_Add(&queue, &nodes[2], 3000);
    EXPECT_EQ(takeAll(), (Taken{{&nodes[1], 1000}, {&nodes[0], 2000}, {&nodes[2], 3000}}));
    Extns_EmptyBufferQueue_Add(&queue, &nodes[2], 4);
    EXPECT_EQ(takeAll(), (Taken{{&nodes[2], 4}}));
}

} // namespace
