// The host side of the kernel stand-in: the Kernel object that the tool, the
// tests and the rest of the host platform create to run the driver, its
// scheduler (simulated or real time) and its verifying pool.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/kernel/callback.h"
#include "platform/kernel/kernel.h"

namespace zm4::host {

// 1 January 2024, 00:00:00 UTC as a system time (100-ns units since 1601):
// where the simulated clock starts unless told otherwise.
constexpr int64_t kDefaultStartTime = 133485408000000000;

// Handy 100-ns conversions for callers of the scheduler.
constexpr int64_t kMillisecond = 10'000;
constexpr int64_t kSecond = 10'000'000;

enum class Clock { Simulated, Real };

struct KernelOptions {
    Clock clock = Clock::Simulated;
    // Check every spin lock and excluder acquisition against the driver's lock
    // order and for cycles; a violation aborts naming both locks.
    bool lockOrderChecks = true;
    // Real time only: short seeded random yields and sleeps (0-200 us) at lock
    // acquire and release, event set, wait, work-item start, IofCallDriver,
    // the bus completing a request and each completion routine call.
    bool delayFuzz = false;
    uint64_t fuzzSeed = 1;
    // Real time only: worker threads of the critical work queue (at least 2).
    unsigned workerThreads = 2;
    // Simulated only: the system time the virtual clock starts at.
    int64_t startTime = kDefaultStartTime;
};

// Everything that happens "later": interrupt-level events (timer callbacks,
// USB completions, emulator events), which run at DISPATCH_LEVEL, and work
// items, which run at PASSIVE_LEVEL. All times are system times in 100-ns units.
//
// Simulated: one thread and a virtual clock. Items run only while the caller
// drives time (runFor, runUntil, runUntilIdle) or while driver code waits; a
// wait runs only the interrupt-level events that fall due before it ends, never
// a work item. Equal times run in posting order. Every call must come from the
// thread that created the Kernel.
//
// Real time: a timer thread runs the interrupt-level events one at a time,
// a pool of worker threads runs work items concurrently, the clock is the
// system's (monotonic from its start). Any thread may post.
class Scheduler {
public:
    virtual ~Scheduler() = default;
    Scheduler(const Scheduler &) = delete;
    Scheduler &operator=(const Scheduler &) = delete;

    virtual Clock clock() const = 0;
    // System time, 100-ns units.
    virtual int64_t now() const = 0;
    // Runs fn at DISPATCH_LEVEL at the given system time (at once if past);
    // the id lets the poster cancel it.
    virtual uint64_t postAt(int64_t time, Callback fn) = 0;
    uint64_t postAfter(int64_t delay100ns, Callback fn) { return postAt(now() + delay100ns, std::move(fn)); }
    // True when the event had not run yet (it never will now); false when it
    // has run, is running, or the id is unknown.
    virtual bool cancel(uint64_t id) = 0;
    // Runs fn at PASSIVE_LEVEL like a work item of the critical work queue.
    virtual void queueWork(Callback fn) = 0;

    // Simulated: advance the clock by the duration, running everything that
    // falls due. Real: sleep that long while the threads run.
    virtual void runFor(int64_t duration100ns) = 0;
    // Runs until condition() holds (checked before starting and after every
    // item; in real time also every millisecond) or the limit passes; returns
    // whether it holds. In simulated time the clock stops where it became true.
    virtual bool runUntil(std::function<bool()> condition, int64_t limit100ns) = 0;
    // Runs until nothing is pending (no queued work, no running work, no timed
    // event). Bounded: returns false if still busy after limit100ns (virtual or
    // real time), e.g. because a periodic timer keeps re-arming itself.
    virtual bool runUntilIdle(int64_t limit100ns = 3600 * kSecond) = 0;

    // For the running interrupt-level event: the time before which nothing
    // else can happen, neither another item nor the return of control to the
    // code driving time. Work of earlier moments may be done now, as nobody
    // can tell the difference (the bus serves the USB frames of a quiet
    // stretch in one event). Simulated time only; elsewhere now(). While
    // runUntil or runUntilIdle drives time it is now() too: the condition
    // may look at anything after every item, and the item limit may end the
    // run early.
    virtual int64_t quietUntil() { return now(); }

protected:
    Scheduler() = default;
};

// The verifying pool behind ExAllocatePoolWithTag / ExFreePool. It records tag,
// size and call site of every live block, can be told to fail allocations, and
// in guarded mode surrounds each block with canaries checked when it is freed.
// Thread-safe.
class Pool {
public:
    Pool();
    ~Pool(); // does not free live blocks: a leak stays visible to leak checkers
    Pool(const Pool &) = delete;
    Pool &operator=(const Pool &) = delete;

    // The pool used when no Kernel exists, so that pure libraries (the decoder
    // run by the tool or a fuzzer) can allocate without one. Never destroyed.
    static Pool &fallback();

    size_t liveBlocks(uint32_t tag) const;
    size_t liveBlocks() const;
    size_t liveBytes() const;
    // One line per live block, oldest first: tag, size, address, call site.
    // Empty when nothing is live.
    std::string leakReport() const;

    // Failure injection. Allocation attempts are counted from 1 (failed ones
    // included, see allocationCount); each setting applies from the next call.
    void failNth(uint64_t n);      // the n-th attempt from now fails, once (0 = off)
    void failEveryNth(uint64_t n); // every n-th attempt from now fails (0 = off)
    void failRandomly(uint64_t seed, double probability);
    // Limits every injected failure to blocks of one tag (0: any tag): attempts
    // of other tags neither fail nor count towards the n-th, every n-th or
    // random sequences, so that a test can starve the driver alone, or the port.
    void failOnlyTag(uint32_t tag);
    // Where an allocation comes from: the return addresses of the allocating
    // code and its callers, innermost first (null when the stack is shallower),
    // deep enough to tell apart the callers of a shared helper (a worker or a
    // context block is created for many purposes).
    using CallSite = std::array<const void *, 4>;
    // Fails the first attempt at each call site that is not in `spared`, for at
    // most `limit` sites (0: off). A systematic low-resource run fails one new
    // site per pass, sparing those failed in earlier passes, until none is left.
    void failNewSites(std::set<CallSite> spared, size_t limit);
    // The sites failed by failNewSites, in the order they failed.
    std::vector<CallSite> failedSites() const;
    // "Extns_Worker_Create+0x1c <- Frame_DataAvailable+0x40 <- ..."
    static std::string describe(const CallSite &site);
    void clearFailures(); // every setting above, the tag filter included
    // Attempts so far (successful and failed) and the failed ones.
    uint64_t allocationCount() const;
    uint64_t failedCount() const;

    // Guarded mode applies to blocks allocated while it is on; their canaries
    // are checked when they are freed, and a broken one aborts naming the
    // block's allocation site.
    void setGuarded(bool guarded);
    // Light mode, for runs where AddressSanitizer already watches every block
    // (the fuzzers): blocks are not filled when freed and only their first
    // bytes when reused, and freed blocks are not remembered, so a double free
    // reads as a pointer the pool does not know. Freed blocks wait, poisoned,
    // in a lookaside for reuse at the same size instead of a malloc and free
    // each: an access through a stale pointer or past a block's end reports a
    // use-after-poison. Live blocks are still recorded (leak checks by tag,
    // the leak report, failure injection) and guarded blocks keep their
    // canaries. Applies to blocks allocated and freed while it is on.
    void setLight(bool light);

    // The pool routines' back end; callSite is the driver's return address.
    void *allocate(POOL_TYPE type, size_t bytes, uint32_t tag, void *callSite);
    // Frees a block of this pool, giving its size; false if the pointer is not
    // one of its live blocks (nothing done). Aborts on a broken canary.
    bool free(void *block, void *callSite, size_t *bytes);
    // What the pool remembers of a pointer that is no longer live ("a double
    // free of ..." with both sites), or empty if it knows nothing of it.
    std::string historyOf(const void *block) const;

private:
    struct State;
    mutable std::mutex mutex_;
    std::unique_ptr<State> state_;
};

class SchedulerBackend;
class LockOrderVerifier;

// The kernel: one at a time per process. Creating it installs it as the current
// kernel that the routines of kernel.h use; destroying it stops its threads and
// discards events and work items not yet run (it does not free leaked blocks).
// Every routine of kernel.h except the pool, the registry and KeCpuid aborts
// with a message when no Kernel exists. The pool falls back to Pool::fallback().
// A block outlives its kernel only as a leak: freeing it under a later kernel
// aborts as a pointer no pool knows.
class Kernel {
public:
    explicit Kernel(KernelOptions options = {});
    ~Kernel();
    Kernel(const Kernel &) = delete;
    Kernel &operator=(const Kernel &) = delete;

    static Kernel &current(); // aborts when there is none
    static Kernel *currentOrNull();

    Scheduler &scheduler();
    Pool &pool();
    const KernelOptions &options() const { return options_; }

    // Host internals (platform/kernel only).
    SchedulerBackend &backend() { return *scheduler_; }
    LockOrderVerifier *verifier() { return verifier_.get(); }

private:
    KernelOptions options_;
    Pool pool_;
    std::unique_ptr<LockOrderVerifier> verifier_;
    std::unique_ptr<SchedulerBackend> scheduler_;
};

} // namespace zm4::host
