// The verifying pool as the driver and the tests use it: the live-block record
// and leak report, failure injection, the aborts on bad frees and on overruns
// of guarded blocks, and light mode's reuse of freed blocks.
#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel/host.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace zm4test {

constexpr ULONG kTagOther = 0x74736554; // "Test"

// Allocation sites the leak report and the abort messages must name; they are
// out of line, exported, and make real calls (no tail call) so that the
// recorded return address lies inside them.
[[gnu::noinline]] void *poolLeakSite(size_t bytes)
{
    void *block = ExAllocatePoolWithTag(NonPagedPool, bytes, kPoolTagWdm);
    asm volatile("" ::: "memory");
    return block;
}

[[gnu::noinline]] void *poolGuardedSite(size_t bytes)
{
    void *block = ExAllocatePoolWithTag(NonPagedPool, bytes, kPoolTagWdm);
    asm volatile("" ::: "memory");
    return block;
}

[[gnu::noinline]] void poolFirstFreeSite(void *block)
{
    ExFreePool(block);
    asm volatile("" ::: "memory");
}

} // namespace zm4test

namespace zm4::host {
namespace {

class PoolTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
    Pool &pool() { return kernel_.pool(); }
    Kernel kernel_;
};

TEST_F(PoolTest, LiveBlocksAreCountedPerTagAndReportedWithTheirCallSite)
{
    void *a = zm4test::poolLeakSite(24);
    void *b = ExAllocatePoolWithTag(NonPagedPool, 8, zm4test::kTagOther);
    void *c = ExAllocatePoolWithTag(NonPagedPool, 100, kPoolTagWdm);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(pool().liveBlocks(kPoolTagWdm), 2u);
    EXPECT_EQ(pool().liveBlocks(), 3u);

    ExFreePool(c);
    ExFreePool(b);
    // What is left is the block from the named site, with its tag and size.
    const std::string report = pool().leakReport();
    EXPECT_NE(report.find("'Wdm '"), std::string::npos) << report;
    EXPECT_NE(report.find("24 bytes"), std::string::npos) << report;
    EXPECT_NE(report.find("poolLeakSite"), std::string::npos) << report;
    EXPECT_EQ(report.find("'Test'"), std::string::npos) << report;
    EXPECT_EQ(pool().liveBlocks(kPoolTagWdm), 1u);

    ExFreePool(a);
    EXPECT_EQ(pool().leakReport(), "");
    EXPECT_EQ(pool().liveBlocks(), 0u);
}

TEST_F(PoolTest, InjectedFailuresHitExactlyTheChosenAttempts)
{
    // Outcomes of n allocations (true: failed), each block freed at once.
    const auto attempts = [](int n) {
        std::vector<bool> failed;
        for (int i = 0; i < n; ++i) {
            void *block = ExAllocatePoolWithTag(NonPagedPool, 8, kPoolTagWdm);
            failed.push_back(block == nullptr);
            if (block != nullptr)
                ExFreePool(block);
        }
        return failed;
    };
    using Pattern = std::vector<bool>;
    pool().failNth(3);
    EXPECT_EQ(attempts(7), (Pattern{0, 0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(pool().allocationCount(), 7u);
    EXPECT_EQ(pool().failedCount(), 1u);
    pool().clearFailures();
    EXPECT_EQ(attempts(3), Pattern(3, false));
    // Limited to another tag, the same settings leave these blocks alone.
    pool().failOnlyTag(zm4test::kTagOther);
    pool().failEveryNth(1);
    EXPECT_EQ(attempts(2), Pattern(2, false));
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, zm4test::kTagOther), nullptr);
    pool().clearFailures();
    EXPECT_EQ(pool().liveBlocks(), 0u);
}

TEST_F(PoolTest, GuardedModeCatchesOverrunsAndUnderrunsNamingTheAllocationSite)
{
    pool().setGuarded(true);
    for (const int at : {10, -1}) {
        EXPECT_DEATH(
            {
                auto *block = static_cast<unsigned char *>(zm4test::poolGuardedSite(10));
                block[at] = 0; // one past either end
                ExFreePool(block);
            },
            at > 0 ? "overrun.*poolGuardedSite|poolGuardedSite.*overrun" : "underrun");
    }
}

// Seventeen blocks of one size, all freed: what a light-mode reuse waits for.
std::vector<void *> allocateAndFreeSeventeen(size_t bytes)
{
    std::vector<void *> blocks;
    for (int i = 0; i < 17; ++i)
        blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, bytes, kPoolTagWdm));
    for (void *block : blocks)
        ExFreePool(block);
    return blocks;
}

TEST_F(PoolTest, LightModeReusesAFreedBlockOfItsSizeOnlyAfterSixteenYoungerOnes)
{
    pool().setLight(true);
    const std::vector<void *> freed = allocateAndFreeSeventeen(40);
    EXPECT_EQ(pool().liveBlocks(), 0u);
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_TRUE(__asan_address_is_poisoned(freed[0]));
#endif
    // Another size takes none; the same rounded size takes the oldest, filled
    // as a fresh block; the next finds too few waiting.
    void *other = ExAllocatePoolWithTag(NonPagedPool, 100, kPoolTagWdm);
    void *reused = ExAllocatePoolWithTag(NonPagedPool, 33, kPoolTagWdm);
    void *fresh = ExAllocatePoolWithTag(NonPagedPool, 40, kPoolTagWdm);
    EXPECT_EQ(std::count(freed.begin(), freed.end(), other), 0);
    EXPECT_EQ(reused, freed[0]);
    EXPECT_EQ(static_cast<unsigned char *>(reused)[32], 0xCD);
    EXPECT_EQ(std::count(freed.begin(), freed.end(), fresh), 0);
    EXPECT_EQ(pool().liveBlocks(kPoolTagWdm), 3u);
    for (void *block : {other, reused, fresh})
        ExFreePool(block);
    pool().setLight(false);
}

TEST_F(PoolTest, LightModeGivesTheRoomOfSizesUsedLongestAgoToTheSizeInUse)
{
    pool().setLight(true);
    // 51 MB of a size nobody asks for again, then 17 MB of the size in use:
    // together past the lookaside's 64 MB.
    allocateAndFreeSeventeen(3 << 20);
    const std::vector<void *> inUse = allocateAndFreeSeventeen(1 << 20);
    void *again = ExAllocatePoolWithTag(NonPagedPool, 1 << 20, kPoolTagWdm);
    EXPECT_EQ(again, inUse[0]);
    ExFreePool(again);
    pool().setLight(false);
}

} // namespace
} // namespace zm4::host
