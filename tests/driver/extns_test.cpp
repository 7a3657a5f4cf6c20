// The kernel building blocks in simulated time: queues, instance records,
// workers, excluders, context blocks, deadlines, empty-buffer queues.

#include <array>
#include <vector>

#include "driver/debug.h"
#include "driver/extns.h"
#include "driver_test_env.h"

using zm4::host::kMillisecond;
using zm4::host::kSecond;
using zm4::host::RegistryValue;

namespace {

using Srb = _HW_STREAM_REQUEST_BLOCK;

// Request blocks with their one-word link blocks, as request arrival sets them up.
struct Requests {
    explicit Requests(int count) : blocks(static_cast<size_t>(count)), links(static_cast<size_t>(count))
    {
        for (int i = 0; i < count; ++i) {
            setSrbTestId(&blocks[static_cast<size_t>(i)], i);
            blocks[static_cast<size_t>(i)].SRBExtension = &links[static_cast<size_t>(i)];
        }
    }
    Srb *operator[](int i) { return &blocks[static_cast<size_t>(i)]; }
    std::vector<Srb> blocks;
    std::vector<PVOID> links;
};

// Empties the queue the way a drainer does; the ids in order.
std::vector<int> drain(EXTNS_SRB_QUEUE *queue)
{
    std::vector<int> ids;
    for (;;) {
        Srb *srb = nullptr;
        Extns_SRBQueue_Remove(queue, &srb);
        if (srb == nullptr)
            return ids;
        ids.push_back(srbTestId(srb));
    }
}

class SrbQueueTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        Extns_SRBQueue_CheckInitialise(&queue_);
    }
    EXTNS_SRB_QUEUE queue_{};
    Requests r_{5};
};

// The drain protocol: the first arrival takes the drain (queue untouched), later
// ones queue; the drainer's empty remove ends its turn; initialising again
// keeps the state; deleting a queued request leaves the drain busy.
TEST_F(SrbQueueTest, FirstArrivalTakesTheDrainLaterOnesQueue)
{
    EXPECT_EQ(Extns_SRBQueue_AddIfBusy(&queue_, r_[0]), 0u);
    EXPECT_EQ(queue_.head, nullptr);
    EXPECT_EQ(queue_.busy, 1u);
    EXPECT_EQ(Extns_SRBQueue_AddIfBusy(&queue_, r_[1]), 1u);
    Extns_SRBQueue_CheckInitialise(&queue_);
    EXPECT_EQ(queue_.busy, 1u);
    Srb *out = nullptr;
    Extns_SRBQueue_Remove(&queue_, &out);
    EXPECT_EQ(out, r_[1]);
    EXPECT_EQ(queue_.busy, 1u);
    Extns_SRBQueue_Remove(&queue_, &out);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(queue_.busy, 0u);

    EXPECT_EQ(Extns_SRBQueue_AddIfBusy(&queue_, r_[2]), 0u);
    EXPECT_EQ(Extns_SRBQueue_AddIfBusy(&queue_, r_[1]), 1u);
    Extns_SRBQueue_Delete(&queue_, r_[1]);
    EXPECT_EQ(queue_.head, nullptr);
    EXPECT_EQ(queue_.busy, 1u);
    Extns_SRBQueue_Delete(&queue_, r_[1]); // no longer there
    EXPECT_EQ(Extns_SRBQueue_AddIfBusy(&queue_, r_[1]), 1u);
    EXPECT_EQ(drain(&queue_), (std::vector<int>{1}));
}

// Add keeps arrival order, clears a stale link and leaves busy alone; Replace
// puts a request back at the head, also of an empty queue; Delete anywhere.
TEST_F(SrbQueueTest, AddReplaceAndDeleteKeepTheOrder)
{
    r_.links[2] = r_[3]; // the last one was queued before and carries an old link
    for (int i = 0; i < 3; ++i)
        Extns_SRBQueue_Add(&queue_, r_[i]);
    EXPECT_EQ(queue_.busy, 0u);
    Srb *out = nullptr;
    Extns_SRBQueue_Remove(&queue_, &out);
    ASSERT_EQ(out, r_[0]);
    Extns_SRBQueue_Replace(&queue_, out);
    EXPECT_EQ(drain(&queue_), (std::vector<int>{0, 1, 2}));
    Extns_SRBQueue_Replace(&queue_, r_[2]);
    Extns_SRBQueue_Add(&queue_, r_[3]);
    EXPECT_EQ(drain(&queue_), (std::vector<int>{2, 3}));

    const struct {
        int victim;
        std::vector<int> left;
    } cases[] = {{0, {1, 2, 3}}, {2, {0, 1, 3}}, {3, {0, 1, 2}}, {4, {0, 1, 2, 3}}};
    for (const auto &c : cases) {
        for (int i = 0; i < 4; ++i)
            Extns_SRBQueue_Add(&queue_, r_[i]);
        Extns_SRBQueue_Delete(&queue_, r_[c.victim]);
        EXPECT_EQ(drain(&queue_), c.left) << "deleting " << c.victim;
    }
}

// ---- Stream instance record ---------------------------------------------------

class StreamDataTest : public DriverTest {
protected:
    void TearDown() override
    {
        Extns_StreamData_Finish(&record_);
        DriverTest::TearDown();
    }
    EXTNS_STREAM_DATA record_{};
    int handles_[4] = {};
    PVOID h(int i) { return &handles_[i]; }
};

TEST_F(StreamDataTest, CapacityOneFillsAndFreesItsSlot)
{
    ASSERT_EQ(Extns_StreamData_Init(&record_, 1), 1u);
    EXPECT_EQ(record_.slots[0], nullptr);
    EXPECT_EQ(Extns_StreamData_AddInstance(&record_, h(0)), 1u);
    EXPECT_EQ(record_.slots[0], h(0));
    EXPECT_EQ(record_.free, 0u);
    EXPECT_EQ(Extns_StreamData_AddInstance(&record_, h(1)), 0u);
    EXPECT_EQ(record_.slots[0], h(0));

    Extns_StreamData_RemoveInstance(&record_, h(0));
    EXPECT_EQ(record_.slots[0], nullptr);
    EXPECT_EQ(record_.free, 1u);
    EXPECT_EQ(Extns_StreamData_AddInstance(&record_, h(1)), 1u);
    EXPECT_EQ(record_.slots[0], h(1));
}

TEST_F(StreamDataTest, NewestInstanceFillsTheHole)
{
    ASSERT_EQ(Extns_StreamData_Init(&record_, 3), 1u);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(Extns_StreamData_AddInstance(&record_, h(i)), 1u);
    // Occupied slots are free .. capacity-1, the newest at the lowest index.
    EXPECT_EQ((std::array<PVOID, 3>{record_.slots[0], record_.slots[1], record_.slots[2]}),
              (std::array<PVOID, 3>{h(2), h(1), h(0)}));

    Extns_StreamData_RemoveInstance(&record_, h(0));
    EXPECT_EQ(record_.free, 1u);
    EXPECT_EQ((std::array<PVOID, 3>{record_.slots[0], record_.slots[1], record_.slots[2]}),
              (std::array<PVOID, 3>{nullptr, h(1), h(2)}));

    EXPECT_EQ(Extns_StreamData_AddInstance(&record_, h(3)), 1u);
    EXPECT_EQ(record_.slots[0], h(3));
}

TEST_F(StreamDataTest, RemovingAnUnknownHandleChangesNothingAndSlotsComeFromThePool)
{
    ASSERT_EQ(Extns_StreamData_Init(&record_, 2), 1u);
    EXPECT_EQ(pool().liveBlocks(kWdmTag), 1u);
    Extns_StreamData_AddInstance(&record_, h(0));
    Extns_StreamData_RemoveInstance(&record_, h(3));
    Extns_StreamData_RemoveInstance(&record_, nullptr); // would match the empty slot
    EXPECT_EQ(record_.free, 1u);
    EXPECT_EQ(record_.slots[0], nullptr);
    EXPECT_EQ(record_.slots[1], h(0));
    Extns_StreamData_Finish(&record_);
    EXPECT_EQ(pool().liveBlocks(kWdmTag), 0u);
}

// A failed allocation and unusable capacities leave a record that takes nothing.
TEST_F(StreamDataTest, FailedInitialisationIsReported)
{
    EXPECT_EQ(Extns_StreamData_Init(&record_, 0), 0u);
    EXPECT_EQ(Extns_StreamData_Init(&record_, 0xFFFF), 0u);
    EXPECT_EQ(Extns_StreamData_AddInstance(&record_, h(0)), 0u);
    EXPECT_EQ(pool().liveBlocks(kWdmTag), 0u);
    pool().failNth(1);
    EXPECT_EQ(Extns_StreamData_Init(&record_, 2), 0u);
    EXPECT_EQ(record_.capacity, 2u);
    EXPECT_EQ(record_.free, 2u);
    EXPECT_EQ(record_.slots, nullptr);
    EXPECT_EQ(Extns_StreamData_AddInstance(&record_, h(0)), 0u);
}

// ---- Worker ------------------------------------------------------------------

struct WorkerRun {
    int runs = 0;
    KIRQL irql = 0xFF;
    PVOID context = nullptr;
    ULONG_PTR value1 = 0;
    ULONG_PTR value2 = 0;
};

WorkerRun gWorkerRun;

void recordingWorker(PVOID parameter)
{
    auto *worker = static_cast<EXTNS_WORKER *>(parameter);
    Extns_Worker_Destroy(worker, &gWorkerRun.context, &gWorkerRun.value1, &gWorkerRun.value2);
    gWorkerRun.runs += 1;
    gWorkerRun.irql = KeGetCurrentIrql();
}

class WorkerTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        gWorkerRun = {};
    }
};

// Created at dispatch level, each worker runs later at passive level, once, in
// creation order, with its three values.
TEST_F(WorkerTest, CreatedAtDispatchRunsLaterAtPassiveOnceInOrder)
{
    int device = 0;
    const ULONG_PTR big = ULONG_PTR{0x123456789ABCDEF0};
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(Extns_Worker_Create(&device, big, 7, recordingWorker), 1u);
    KeLowerIrql(old);
    EXPECT_EQ(gWorkerRun.runs, 0); // deferred, not called in place
    EXPECT_EQ(pool().liveBlocks(kWdmTag), 2u);
    EXPECT_TRUE(scheduler().runUntilIdle());
    EXPECT_EQ(gWorkerRun.runs, 1);
    EXPECT_EQ(gWorkerRun.irql, PASSIVE_LEVEL);
    EXPECT_EQ(gWorkerRun.context, &device);
    EXPECT_EQ(gWorkerRun.value1, big);
    EXPECT_EQ(gWorkerRun.value2, 7u);

    static std::vector<ULONG_PTR> order;
    order.clear();
    auto routine = [](PVOID parameter) {
        PVOID context;
        ULONG_PTR v1, v2;
        Extns_Worker_Destroy(static_cast<EXTNS_WORKER *>(parameter), &context, &v1, &v2);
        order.push_back(v1);
    };
    for (ULONG_PTR i = 0; i < 5; ++i)
        ASSERT_EQ(Extns_Worker_Create(nullptr, i, 0, routine), 1u);
    scheduler().runUntilIdle();
    EXPECT_EQ(order, (std::vector<ULONG_PTR>{0, 1, 2, 3, 4}));
}

// Either allocation failing queues nothing and leaks nothing; the next works.
TEST_F(WorkerTest, FailedAllocationsQueueNothing)
{
    for (int nth : {1, 2}) {
        pool().failNth(nth);
        EXPECT_EQ(Extns_Worker_Create(nullptr, 1, 2, recordingWorker), 0u) << nth;
        EXPECT_EQ(pool().liveBlocks(kWdmTag), 0u) << nth;
        scheduler().runUntilIdle();
        EXPECT_EQ(gWorkerRun.runs, 0) << nth;
    }
    EXPECT_EQ(Extns_Worker_Create(nullptr, 1, 2, recordingWorker), 1u);
    scheduler().runUntilIdle();
    EXPECT_EQ(gWorkerRun.runs, 1);
}

// ---- Excluder ----------------------------------------------------------------

class ExcluderTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        Debug_Init();
        Extns_Excluder_Initialise(&excluder_);
    }
    int64_t elapsed() { return scheduler().now() - start_; }
    void markTime() { start_ = scheduler().now(); }
    static bool problem8Recorded()
    {
        return (Debug_GetRecord()->problemBits & DEBUG_PROBLEM_EXCLUDER_TIMEOUT) != 0;
    }

    EXTNS_EXCLUDER excluder_{};
    int64_t start_ = 0;
};

TEST_F(ExcluderTest, HeldExcluderTimesOutAfterOnePointTwoSecondsWithProblem8)
{
    Extns_Excluder_Acquire(&excluder_, "holder");
    markTime();
    // Not recursive: the second acquire waits out the full time-out, then
    // proceeds as if it held the lock.
    Extns_Excluder_Acquire(&excluder_, "late");
    EXPECT_EQ(elapsed(), 12'000'000);
    EXPECT_EQ(excluder_.owned, 1u);
    EXPECT_TRUE(problem8Recorded());
    EXPECT_EQ(stored("DebugList"), RegistryValue::binary({8}));

    // Each party releases once; the auto-reset event lets exactly one taker in.
    Extns_Excluder_Release(&excluder_);
    Extns_Excluder_Release(&excluder_);
    EXPECT_EQ(Extns_Excluder_Test_Acquire(&excluder_, "first"), 1u);
    EXPECT_EQ(Extns_Excluder_Test_Acquire(&excluder_, "second"), 0u);
    Extns_Excluder_Release(&excluder_);
}

// The holder lets go from interrupt level within the time-out (the waiter gets
// in then) or just after it (too late: problem 8 after 1.2 s).
TEST_F(ExcluderTest, ReleaseWithinTheTimeOutLetsTheWaiterIn)
{
    for (int64_t release : {500 * kMillisecond, 1200 * kMillisecond + 1}) {
        const bool late = release > 1200 * kMillisecond;
        Debug_ProblemClearAll();
        Extns_Excluder_Acquire(&excluder_, "holder");
        markTime();
        scheduler().postAfter(release, [this] { Extns_Excluder_Release(&excluder_); });
        Extns_Excluder_Acquire(&excluder_, "waiter");
        EXPECT_EQ(elapsed(), late ? 1200 * kMillisecond : release);
        EXPECT_EQ(excluder_.owned, 1u);
        EXPECT_EQ(problem8Recorded(), late);
        scheduler().runUntilIdle();
        Extns_Excluder_Release(&excluder_);
    }
}

// A free excluder is taken at once, by either call; a held one makes the test
// acquire give up after 1 ms, which is not a problem worth recording.
TEST_F(ExcluderTest, FreeIsTakenAtOnceAndTestAcquireGivesUpAfterOneMillisecond)
{
    markTime();
    Extns_Excluder_Acquire(&excluder_, "holder");
    EXPECT_EQ(elapsed(), 0);
    EXPECT_EQ(excluder_.owned, 1u);
    EXPECT_EQ(Extns_Excluder_Test_Acquire(&excluder_, "try"), 0u);
    EXPECT_EQ(elapsed(), kMillisecond);
    EXPECT_EQ(excluder_.owned, 1u);

    Extns_Excluder_Release(&excluder_);
    EXPECT_EQ(excluder_.owned, 0u);
    markTime();
    EXPECT_EQ(Extns_Excluder_Test_Acquire(&excluder_, "try"), 1u);
    EXPECT_EQ(elapsed(), 0);
    EXPECT_EQ(excluder_.owned, 1u);
    Extns_Excluder_Release(&excluder_);
    Extns_Excluder_Acquire(&excluder_, "again");
    EXPECT_EQ(elapsed(), 0);
    Extns_Excluder_Release(&excluder_);
    EXPECT_FALSE(problem8Recorded());
}

// ---- Context block -------------------------------------------------------------

// Two pointer-sized values round-trip; a missing block (failed allocation) is
// harmless to decode, write and delete.
TEST_F(DriverTest, ContextBlockCarriesTwoPointerSizedValues)
{
    EXTNS_CONTEXT *context = nullptr;
    const ULONG_PTR address = reinterpret_cast<ULONG_PTR>(&context);
    Extns_Context_Create(&context, address, 42);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(pool().liveBlocks(kWdmTag), 1u);
    ULONG_PTR first = 0, second = 0;
    Extns_Context_Decode(context, &first, &second);
    EXPECT_EQ(first, address);
    EXPECT_EQ(second, 42u);
    Extns_Context_Write(context, 5, 6);
    Extns_Context_Decode(context, &first, &second);
    EXPECT_EQ(first, 5u);
    EXPECT_EQ(second, 6u);
    Extns_Context_Delete(context);

    pool().failNth(1);
    Extns_Context_Create(&context, 1, 2);
    EXPECT_EQ(context, nullptr);
    Extns_Context_Decode(context, &first, &second);
    EXPECT_EQ(first, 5u);
    EXPECT_EQ(second, 6u);
    Extns_Context_Write(context, 1, 2);
    Extns_Context_Delete(context);
}

// ---- Deadline -------------------------------------------------------------------

// A deadline passes strictly after its time; the duration is a 32-bit product
// (one more millisecond than fits wraps round to 2,704 units).
TEST_F(DriverTest, DeadlinePassesStrictlyAfterItsTimeAndIsA32BitProduct)
{
    const int64_t now = scheduler().now();
    LARGE_INTEGER deadline;
    Extns_TimeOut_Set(&deadline, 429496);
    EXPECT_EQ(deadline.QuadPart, now + 4'294'960'000);
    Extns_TimeOut_Set(&deadline, 429497);
    EXPECT_EQ(deadline.QuadPart, now + 2704);

    Extns_TimeOut_Set(&deadline, 1000);
    EXPECT_EQ(deadline.QuadPart, now + kSecond);
    scheduler().runFor(kSecond);
    EXPECT_EQ(Extns_TimeOut_TimedOut(&deadline), 0u);
    scheduler().runFor(1);
    EXPECT_EQ(Extns_TimeOut_TimedOut(&deadline), 1u);
}

class DeadlineAcrossWordsTest : public DriverTest {
protected:
    // The clock starts 0.5 ms before its low word wraps.
    zm4::host::KernelOptions kernelOptions() const override
    {
        zm4::host::KernelOptions options;
        options.startTime = (int64_t{0x1D9A} << 32) + 0xFFFFFFFF - 5000;
        return options;
    }
};

// A deadline before the wrap is seen passed after it; one landing in the next
// high word waits for its time there.
TEST_F(DeadlineAcrossWordsTest, DeadlinesAcrossTheLowWordsWrap)
{
    LARGE_INTEGER before, after;
    Extns_TimeOut_Set(&before, 0);
    Extns_TimeOut_Set(&after, 1);
    EXPECT_EQ(before.u.HighPart, 0x1D9A);
    EXPECT_EQ(after.u.HighPart, 0x1D9B);
    scheduler().runFor(6 * 1000); // past the wrap, before the later deadline
    EXPECT_EQ(Extns_TimeOut_TimedOut(&before), 1u);
    EXPECT_EQ(Extns_TimeOut_TimedOut(&after), 0u);
    scheduler().runFor(5000);
    EXPECT_EQ(Extns_TimeOut_TimedOut(&after), 1u);
}

// ---- Empty-buffer queue ------------------------------------------------------------

class EmptyBufferQueueTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        KeInitializeSpinLock(&queue_.lock);
        queue_.head = nullptr;
    }
    EXTNS_EMPTY_BUFFER_QUEUE queue_{};
    EXTNS_EMPTY_BUFFER_NODE nodes_[3] = {};
};

TEST_F(EmptyBufferQueueTest, BuffersComeBackFirstInFirstOut)
{
    nodes_[1].next = &nodes_[2]; // stale link from an earlier round
    Extns_EmptyBufferQueue_Add(&queue_, &nodes_[1], 1000);
    Extns_EmptyBufferQueue_Add(&queue_, &nodes_[0], 2000);
    Extns_EmptyBufferQueue_Add(&queue_, &nodes_[2], 3000);

    std::vector<std::pair<EXTNS_EMPTY_BUFFER_NODE *, ULONG_PTR>> out;
    EXTNS_EMPTY_BUFFER_NODE *node;
    ULONG_PTR value;
    for (;;) {
        Extns_EmptyBufferQueue_Remove(&queue_, &node, &value);
        if (node == nullptr)
            break; // an empty queue gives zeros
        out.emplace_back(node, value);
    }
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(out, (std::vector<std::pair<EXTNS_EMPTY_BUFFER_NODE *, ULONG_PTR>>{
                       {&nodes_[1], 1000}, {&nodes_[0], 2000}, {&nodes_[2], 3000}}));

    // A node taken out can go back in.
    Extns_EmptyBufferQueue_Add(&queue_, &nodes_[2], 4);
    Extns_EmptyBufferQueue_Remove(&queue_, &node, &value);
    EXPECT_EQ(node, &nodes_[2]);
    EXPECT_EQ(value, 4u);
}

} // namespace
