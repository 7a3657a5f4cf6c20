// The verifiers a driver developer relies on: no blocking at DISPATCH_LEVEL
// and the lock-order verifier with the
// driver's lock list, each stopping the run with a message that names the
// code and the locks involved.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel/host.h"

namespace zm4test {

// Out of line and exported so that the verifier's messages can name them.
[[gnu::noinline]] void waitAtDispatchLevel(KEVENT *event, LARGE_INTEGER *timeout)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, timeout);
    KeReleaseSpinLock(&lock, old);
}

[[gnu::noinline]] void takeTwoLocks(KSPIN_LOCK *outer, KSPIN_LOCK *inner)
{
    KIRQL outerIrql, innerIrql;
    KeAcquireSpinLock(outer, &outerIrql);
    KeAcquireSpinLock(inner, &innerIrql);
    KeReleaseSpinLock(inner, innerIrql);
    KeReleaseSpinLock(outer, outerIrql);
}

} // namespace zm4test

namespace zm4::host {
namespace {

LARGE_INTEGER relative(int64_t duration100ns)
{
    LARGE_INTEGER time;
    time.QuadPart = -duration100ns;
    return time;
}

// An excluder as the driver builds it: a named synchronization event, acquired
// by a wait with the 1.2-s (or 1-ms test) time-out, released by setting it.
struct Excluder {
    explicit Excluder(const char *name)
    {
        KeInitializeEvent(&event, SynchronizationEvent, TRUE);
        HostVerifierNameLock(&event, name);
    }
    NTSTATUS acquire(int64_t timeout = 12'000'000)
    {
        LARGE_INTEGER time = relative(timeout);
        return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &time);
    }
    void release() { KeSetEvent(&event, 0, FALSE); }
    KEVENT event;
};

class Verifier : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
    Kernel kernel_;
};

TEST_F(Verifier, BlockingAtDispatchLevelAbortsNamingTheCaller)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    LARGE_INTEGER timeout = relative(kMillisecond);
    EXPECT_DEATH(zm4test::waitAtDispatchLevel(&event, &timeout), "DISPATCH_LEVEL.*waitAtDispatchLevel");
    EXPECT_DEATH(zm4test::waitAtDispatchLevel(&event, nullptr), "no time-out.*waitAtDispatchLevel");
    // A poll is allowed at dispatch level.
    KeSetEvent(&event, 0, FALSE);
    LARGE_INTEGER poll = relative(0);
    zm4test::waitAtDispatchLevel(&event, &poll);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    kernel_.scheduler().postAfter(0, [] {
        LARGE_INTEGER pause = relative(kMillisecond);
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    });
    EXPECT_DEATH(kernel_.scheduler().runFor(kMillisecond), "KeDelayExecutionThread at DISPATCH_LEVEL");
    EXPECT_DEATH(KeWaitForSingleObject(&event, Executive, KernelMode, TRUE, &poll), "alertable");
}

TEST_F(Verifier, TakingAnOuterLockInsideAnInnerOneAbortsNamingBoth)
{
    Excluder camera("camera lock"), link("link lock");
    ASSERT_EQ(link.acquire(), STATUS_SUCCESS);
    EXPECT_DEATH(camera.acquire(),
                 "lock order violation: 'camera lock' acquired .* while holding 'link lock'");
    link.release();

    // Through the list's transitivity: frame excluder comes before USB request lock.
    Excluder frame("frame excluder"), usb("USB request lock");
    ASSERT_EQ(usb.acquire(), STATUS_SUCCESS);
    EXPECT_DEATH(frame.acquire(), "'frame excluder' acquired .* while holding 'USB request lock'");
    usb.release();

    KSPIN_LOCK transferLock, queueLock;
    KeInitializeSpinLock(&transferLock);
    KeInitializeSpinLock(&queueLock);
    HostVerifierNameLock(&transferLock, "transfer spin lock");
    HostVerifierNameLock(&queueLock, "empty-buffer queue lock");
    EXPECT_DEATH(zm4test::takeTwoLocks(&queueLock, &transferLock),
                 "'transfer spin lock' acquired at .*takeTwoLocks.* while holding 'empty-buffer queue lock'");
}

TEST_F(Verifier, AFailedTestAcquireIsNotHeldButATimedOutAcquireIs)
{
    Excluder frame("frame excluder"), camera("camera lock");
    std::vector<NTSTATUS> results;
    ASSERT_EQ(camera.acquire(), STATUS_SUCCESS); // the test thread holds the camera lock
    // A 1-ms test acquire that fails leaves the item without the lock, so the
    // frame excluder may follow it.
    kernel_.scheduler().queueWork([&] {
        results.push_back(camera.acquire(10'000));
        results.push_back(frame.acquire());
        frame.release();
    });
    kernel_.scheduler().runFor(kMillisecond);
    EXPECT_EQ(results, (std::vector<NTSTATUS>{STATUS_TIMEOUT, STATUS_SUCCESS}));
    // A 1.2-s acquire that times out: the driver goes on as if it held the
    // lock, so the frame excluder after it is out of order.
    kernel_.scheduler().queueWork([&] {
        camera.acquire();
        frame.acquire();
    });
    EXPECT_DEATH(kernel_.scheduler().runFor(2 * kSecond),
                 "'frame excluder' acquired .* while holding 'camera lock'");
}

// KeSetEvent with Wait TRUE leaves the caller raised until the wait that must
// follow; and an auto-reset event that starts signalled is a lock even unnamed.
TEST_F(Verifier, EventsSetWithWaitAndUnnamedExcludersFollowTheRules)
{
    KEVENT a, b;
    KeInitializeEvent(&a, SynchronizationEvent, TRUE);
    KeInitializeEvent(&b, SynchronizationEvent, TRUE);
    LARGE_INTEGER second = relative(kSecond);
    KeSetEvent(&a, 0, TRUE);
    EXPECT_EQ(KeWaitForSingleObject(&a, Executive, KernelMode, FALSE, &second), STATUS_SUCCESS);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KeSetEvent(&a, 0, FALSE);
    EXPECT_DEATH((KeSetEvent(&a, 0, TRUE), KeResetEvent(&a)),
                 "KeResetEvent called after KeSetEvent with Wait TRUE");
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_DEATH(KeSetEvent(&a, 0, TRUE), "Wait TRUE at DISPATCH_LEVEL");
    KeLowerIrql(old);

    auto nest = [&](KEVENT *outer, KEVENT *inner) {
        KeWaitForSingleObject(outer, Executive, KernelMode, FALSE, &second);
        KeWaitForSingleObject(inner, Executive, KernelMode, FALSE, &second);
        KeSetEvent(inner, 0, FALSE);
        KeSetEvent(outer, 0, FALSE);
    };
    nest(&a, &b);
    EXPECT_DEATH(nest(&b, &a), "lock order cycle: 'unnamed excluder .* while holding 'unnamed excluder");
    kernel_.scheduler().queueWork([&] { KeWaitForSingleObject(&a, Executive, KernelMode, FALSE, &second); });
    EXPECT_DEATH(kernel_.scheduler().runFor(kMillisecond), "work item .* returned holding 'unnamed excluder");
}

} // namespace
} // namespace zm4::host
