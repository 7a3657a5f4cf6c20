// Spin locks, events, waits and delays: the kernel routines that synchronise,
// with the IRQL and lock-order checks a kernel verifier makes around them.
#include <thread>

#include "platform/kernel/kernel_internal.h"
#include "platform/kernel/lock_order.h"

using zm4::host::Clock;
using zm4::host::Kernel;
using zm4::host::LockOrderVerifier;
namespace detail = zm4::host::detail;

namespace {

// A timed wait shorter than this on an excluder is a try-acquire (the driver's
// 1-ms test acquire): it cannot deadlock, is not checked for order, and when
// it times out the caller knows it does not hold the lock. A longer one that
// times out is the 1.2-s acquire after which the driver proceeds as if it held
// the lock, so it then counts as held for ordering.
constexpr int64_t kTryAcquireLimit = 100 * zm4::host::kMillisecond;

int64_t deadlineOf(const LARGE_INTEGER *time, int64_t now)
{
    const int64_t value = time->QuadPart;
    if (value >= 0)
        return value == 0 ? now : value; // positive: an absolute system time
    if (value == INT64_MIN || now > INT64_MAX + value)
        return INT64_MAX;
    return now - value;
}

void checkEvent(const KEVENT *event, const char *routine, const void *site)
{
    if (event == nullptr)
        detail::fatal(std::string(routine) + " of a null event by " + detail::describeCode(site));
    if (event->Type != NotificationEvent && event->Type != SynchronizationEvent)
        detail::fatal(std::string(routine) + " by " + detail::describeCode(site) + " on " +
                      detail::hexAddress(event) + ", which is not an initialised event");
}

// The one word of a spin lock holds its owner: the holding context's address.
ULONG_PTR ownerToken()
{
    return reinterpret_cast<ULONG_PTR>(&detail::context());
}

bool isExcluder(LockOrderVerifier *verifier, const KEVENT *event)
{
    return verifier != nullptr && event->Type == SynchronizationEvent && verifier->isExcluder(event);
}

} // namespace

// ---- Spin locks ------------------------------------------------------------

void KeInitializeSpinLock(KSPIN_LOCK *spinLock)
{
    Kernel &kernel = detail::requireKernel("KeInitializeSpinLock");
    __atomic_store_n(spinLock, ULONG_PTR{0}, __ATOMIC_RELAXED);
    if (auto *verifier = kernel.verifier())
        verifier->forget(reinterpret_cast<uintptr_t>(spinLock), sizeof *spinLock);
}

KIRQL KfAcquireSpinLock(KSPIN_LOCK *spinLock)
{
    void *site = __builtin_return_address(0);
    Kernel &kernel = detail::requireKernel("KfAcquireSpinLock");
    if (spinLock == nullptr)
        detail::fatal("KfAcquireSpinLock of a null lock by " + detail::describeCode(site));
    auto &context = detail::context();
    const ULONG_PTR token = ownerToken();
    if (__atomic_load_n(spinLock, __ATOMIC_RELAXED) == token)
        detail::fatal("KfAcquireSpinLock by " + detail::describeCode(site) + " of spin lock " +
                      detail::hexAddress(spinLock) + ", which the same context already holds: a deadlock");
    if (auto *verifier = kernel.verifier())
        verifier->checkAcquire(spinLock, site);
    detail::fuzzDelay();
    const KIRQL old = context.irql;
    context.irql = DISPATCH_LEVEL;
    ULONG_PTR expected = 0;
    while (
        !__atomic_compare_exchange_n(spinLock, &expected, token, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
        if (kernel.options().clock == Clock::Simulated)
            detail::fatal("KfAcquireSpinLock by " + detail::describeCode(site) + " of spin lock " +
                          detail::hexAddress(spinLock) +
                          ", which another context holds or which was never initialised; in simulated time "
                          "nothing can release it");
        expected = 0;
        std::this_thread::yield();
    }
    ++context.spinLocksHeld;
    if (auto *verifier = kernel.verifier())
        verifier->acquired(spinLock);
    return old;
}

void KfReleaseSpinLock(KSPIN_LOCK *spinLock, KIRQL newIrql)
{
    void *site = __builtin_return_address(0);
    Kernel &kernel = detail::requireKernel("KfReleaseSpinLock");
    auto &context = detail::context();
    if (spinLock == nullptr || __atomic_load_n(spinLock, __ATOMIC_RELAXED) != ownerToken())
        detail::fatal("KfReleaseSpinLock by " + detail::describeCode(site) + " of spin lock " +
                      detail::hexAddress(spinLock) + ", which this context does not hold");
    if (newIrql > DISPATCH_LEVEL || (newIrql < DISPATCH_LEVEL && context.spinLocksHeld > 1))
        detail::fatal(
            "KfReleaseSpinLock by " + detail::describeCode(site) + " to IRQL " + std::to_string(newIrql) +
            (newIrql > DISPATCH_LEVEL ? ", above DISPATCH_LEVEL" : " while another spin lock is held"));
    if (auto *verifier = kernel.verifier())
        verifier->released(spinLock);
    --context.spinLocksHeld;
    __atomic_store_n(spinLock, ULONG_PTR{0}, __ATOMIC_RELEASE);
    context.irql = newIrql;
    detail::fuzzDelay();
}

// ---- Events ----------------------------------------------------------------

void KeInitializeEvent(KEVENT *event, EVENT_TYPE type, BOOLEAN state)
{
    void *site = __builtin_return_address(0);
    Kernel &kernel = detail::requireKernel("KeInitializeEvent");
    if (event == nullptr || (type != NotificationEvent && type != SynchronizationEvent))
        detail::fatal("KeInitializeEvent by " + detail::describeCode(site) +
                      " of a null event or an unknown type");
    event->Type = type;
    event->SignalState = state != 0 ? 1 : 0;
    // A fresh event is not the excluder that may have been named at this
    // address. An auto-reset event that starts signalled is a lock: the first
    // wait takes it and the holder's set gives it back.
    if (auto *verifier = kernel.verifier()) {
        verifier->forget(reinterpret_cast<uintptr_t>(event), sizeof *event);
        if (type == SynchronizationEvent && state != 0)
            verifier->markExcluder(event);
    }
}

LONG KeSetEvent(KEVENT *event, KPRIORITY /*increment*/, BOOLEAN wait)
{
    void *site = __builtin_return_address(0);
    Kernel &kernel = detail::requireKernel("KeSetEvent");
    checkEvent(event, "KeSetEvent", site);
    auto &context = detail::context();
    if (wait != FALSE && context.irql >= DISPATCH_LEVEL)
        detail::fatal("KeSetEvent with Wait TRUE at DISPATCH_LEVEL by " + detail::describeCode(site) +
                      ": the wait that must follow could not block");
    // Setting an excluder's event is its holder's release.
    if (isExcluder(kernel.verifier(), event))
        kernel.verifier()->released(event);
    detail::fuzzDelay();
    const LONG previous = kernel.backend().setEvent(event);
    detail::fuzzDelay();
    if (wait != FALSE) {
        // As the kernel returns holding the dispatcher lock so that the set and
        // the caller's next wait are one step: raised until that wait.
        context.waitNextSite = site;
        context.waitNextIrql = context.irql;
        context.irql = DISPATCH_LEVEL;
    }
    return previous;
}

LONG KeResetEvent(KEVENT *event)
{
    void *site = __builtin_return_address(0);
    Kernel &kernel = detail::requireKernel("KeResetEvent");
    checkEvent(event, "KeResetEvent", site);
    return kernel.backend().resetEvent(event);
}

void KeClearEvent(KEVENT *event)
{
    void *site = __builtin_return_address(0);
    Kernel &kernel = detail::requireKernel("KeClearEvent");
    checkEvent(event, "KeClearEvent", site);
    kernel.backend().resetEvent(event);
}

LONG KeReadStateEvent(KEVENT *event)
{
    void *site = __builtin_return_address(0);
    Kernel &kernel = detail::requireKernel("KeReadStateEvent");
    checkEvent(event, "KeReadStateEvent", site);
    return kernel.backend().readEvent(event);
}

// ---- Waits -------------------------------------------------------------------

// This host delivers no asynchronous procedure calls, so an alertable wait
// could never end the way a real one may (STATUS_USER_APC), and a driver asking
// for one would be written for a case it is never tested in.
static void checkNotAlertable(BOOLEAN alertable, const char *routine, void *site)
{
    if (alertable)
        detail::fatal(std::string(routine) + " alertable by " + detail::describeCode(site));
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON /*waitReason*/, KPROCESSOR_MODE /*waitMode*/,
                               BOOLEAN alertable, LARGE_INTEGER *timeout)
{
    void *site = __builtin_return_address(0);
    Kernel &kernel = detail::requireKernel("KeWaitForSingleObject");
    checkNotAlertable(alertable, "KeWaitForSingleObject", site);
    auto *event = static_cast<KEVENT *>(object);
    checkEvent(event, "KeWaitForSingleObject", site);
    auto &backend = kernel.backend();
    auto &context = detail::context();
    if (context.waitNextSite != nullptr) {
        // The wait that ends a KeSetEvent with Wait TRUE: back to the caller's level.
        context.irql = context.waitNextIrql;
        context.waitNextSite = nullptr;
    }
    const bool forever = timeout == nullptr;
    const bool poll = !forever && timeout->QuadPart == 0;
    // Only a poll may be made at DISPATCH_LEVEL: nothing may block there.
    if (!poll && context.irql >= DISPATCH_LEVEL)
        detail::fatal("KeWaitForSingleObject at DISPATCH_LEVEL with " +
                      std::string(forever ? "no time-out" : "a non-zero time-out") + " by " +
                      detail::describeCode(site));
    const int64_t now = backend.now();
    const int64_t deadline = forever ? 0 : deadlineOf(timeout, now);
    detail::fuzzDelay();

    LockOrderVerifier *verifier = kernel.verifier();
    const bool excluder = isExcluder(verifier, event);
    const bool blocking = forever || deadline - now >= kTryAcquireLimit;
    if (excluder && blocking)
        verifier->checkAcquire(event, site);
    const NTSTATUS status = backend.wait(event, forever ? nullptr : &deadline, site);
    if (excluder && (status == STATUS_SUCCESS || blocking))
        verifier->acquired(event);
    return status;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE /*waitMode*/, BOOLEAN alertable, LARGE_INTEGER *interval)
{
    void *site = __builtin_return_address(0);
    Kernel &kernel = detail::requireKernel("KeDelayExecutionThread");
    checkNotAlertable(alertable, "KeDelayExecutionThread", site);
    if (interval == nullptr)
        detail::fatal("KeDelayExecutionThread with no interval by " + detail::describeCode(site));
    if (detail::context().irql >= DISPATCH_LEVEL)
        detail::fatal("KeDelayExecutionThread at DISPATCH_LEVEL by " + detail::describeCode(site));
    auto &backend = kernel.backend();
    detail::fuzzDelay();
    backend.delayUntil(deadlineOf(interval, backend.now()));
    return STATUS_SUCCESS;
}
