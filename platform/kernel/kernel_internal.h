// Internals shared by the files of the host kernel: the per-context state
// (IRQL, held locks), fatal verifier messages, the scheduler back-end interface
// the kernel routines wait through, and the ThreadSanitizer quieting helper.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/kernel/host.h"
#include "platform/kernel/kernel.h"

namespace zm4::host {

// What the kernel routines need from a scheduler beyond its public face: the
// event state changes and the waits, which block differently in simulated and
// real time. Deadlines are absolute system times.
class SchedulerBackend : public Scheduler {
public:
    virtual LONG setEvent(KEVENT *event) = 0;
    virtual LONG resetEvent(KEVENT *event) = 0;
    virtual LONG readEvent(KEVENT *event) = 0;
    // deadline null = for ever. STATUS_SUCCESS once the event is signalled (a
    // synchronization event is reset by the wait it satisfies), else STATUS_TIMEOUT.
    virtual NTSTATUS wait(KEVENT *event, const int64_t *deadline, const void *caller) = 0;
    virtual void delayUntil(int64_t deadline) = 0;
};

std::unique_ptr<SchedulerBackend> makeSimulatedScheduler(const KernelOptions &options);
std::unique_ptr<SchedulerBackend> makeRealTimeScheduler(const KernelOptions &options);

namespace detail {

// Writes "zm4 kernel: <message>" to standard error and aborts, as a kernel
// verifier stops the machine.
[[noreturn]] void fatal(const std::string &message);

// Names a code address for a message: "Function+0x1a" when the symbol is
// known, else "module+0x1234" (feed it to addr2line). A return address is
// looked up one byte back (it follows its call); a function's own address not.
std::string describeCode(const void *address, bool returnAddress = true);
std::string hexAddress(const void *address);

// The kernel, or an abort naming the routine that needed one.
Kernel &requireKernel(const char *routine);

struct HeldLock {
    uintptr_t address;
    std::string lockClass;
};

// One logical thread of the kernel: a test or tool thread, a work item, an
// interrupt-level event. In simulated time several of them share one OS thread,
// so the scheduler gives each item a fresh context for the time it runs.
struct ThreadContext {
    KIRQL irql = PASSIVE_LEVEL;
    unsigned spinLocksHeld = 0;
    std::vector<HeldLock> held; // lock-order verifier: locks held, in order taken
    // KeSetEvent with Wait TRUE left the context raised to DISPATCH_LEVEL: the
    // next kernel call must be the wait, which drops back to waitNextIrql.
    const void *waitNextSite = nullptr;
    KIRQL waitNextIrql = PASSIVE_LEVEL;
};

ThreadContext &context();
// Clears the calling OS thread's own context (a new Kernel starts clean).
void resetThreadContext();

// Runs a scheduled item in a fresh context at the given IRQL; on leaving it
// checks that the item came back at that level holding no spin lock.
class ContextScope {
public:
    explicit ContextScope(KIRQL irql);
    ~ContextScope();
    ContextScope(const ContextScope &) = delete;
    ContextScope &operator=(const ContextScope &) = delete;
    // Aborts if the item leaked a spin lock or an IRQL change, naming it as
    // what + the code that posted it (described only when it fails).
    void checkClean(const char *what, const void *poster) const;

private:
    ThreadContext context_;
    ThreadContext *previous_;
    KIRQL irql_;
};

// The verifier's and the pool's own bookkeeping must not create
// happens-before edges between driver threads, or ThreadSanitizer would miss
// races the driver has. Inside a quiet section its mutex and data are invisible
// to the race detector; elsewhere this does nothing.
class TsanQuiet {
public:
    TsanQuiet();
    ~TsanQuiet();
    TsanQuiet(const TsanQuiet &) = delete;
    TsanQuiet &operator=(const TsanQuiet &) = delete;
};

// Real-time delay fuzzing: a seeded random short yield or sleep (0-200 us)
// when the current kernel asks for it; nothing otherwise. Called at lock
// acquire and release, event set and wait, work-item start, IofCallDriver, the
// bus completing a request and each completion routine call.
void fuzzDelay();

} // namespace detail
} // namespace zm4::host
