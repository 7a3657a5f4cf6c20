// The Kernel object and the simple kernel routines: IRQL, interlocked
// counters, system time, work items and the verifier's lock names; plus the
// per-context state the verifiers keep.
#include <atomic>
#include <chrono>
#include <random>
#include <string_view>
#include <thread>

#include "platform/kernel/kernel_internal.h"
#include "platform/kernel/lock_order.h"

namespace zm4::host {

namespace {

std::atomic<Kernel *> gCurrent{nullptr};
// Tells kernels apart so per-thread fuzz generators reseed for a new one.
std::atomic<uint64_t> gKernelSerial{0};
uint64_t gCurrentSerial = 0; // written only while no kernel threads run

thread_local detail::ThreadContext tOwnContext;
thread_local detail::ThreadContext *tContext = nullptr;

} // namespace

Kernel::Kernel(KernelOptions options) : options_(options)
{
    if (options_.workerThreads < 2)
        options_.workerThreads = 2; // the critical work queue runs items concurrently
    if (gCurrent.load(std::memory_order_acquire) != nullptr)
        detail::fatal(
            "a second zm4::host::Kernel was created while one exists; there is one kernel per process");
    gCurrentSerial = gKernelSerial.fetch_add(1, std::memory_order_relaxed) + 1;
    detail::resetThreadContext();
    if (options_.lockOrderChecks)
        verifier_ = std::make_unique<LockOrderVerifier>();
    scheduler_ = options_.clock == Clock::Simulated ? makeSimulatedScheduler(options_)
                                                    : makeRealTimeScheduler(options_);
    gCurrent.store(this, std::memory_order_release);
}

Kernel::~Kernel()
{
    // Stop the threads first: an item still running needs the kernel.
    scheduler_.reset();
    gCurrent.store(nullptr, std::memory_order_release);
    detail::resetThreadContext();
}

Kernel &Kernel::current()
{
    Kernel *kernel = gCurrent.load(std::memory_order_acquire);
    if (kernel == nullptr)
        detail::fatal("no zm4::host::Kernel exists; create one before running driver code");
    return *kernel;
}

Kernel *Kernel::currentOrNull()
{
    return gCurrent.load(std::memory_order_acquire);
}

Scheduler &Kernel::scheduler()
{
    return *scheduler_;
}

Pool &Kernel::pool()
{
    return pool_;
}

namespace detail {

Kernel &requireKernel(const char *routine)
{
    Kernel *kernel = Kernel::currentOrNull();
    if (kernel == nullptr)
        fatal(std::string(routine) +
              " called while no zm4::host::Kernel exists; create one before running driver code");
    // KeSetEvent with Wait TRUE returns at raised IRQL holding the dispatcher
    // lock; anything but the wait that must follow would run there.
    const ThreadContext &own = context();
    if (own.waitNextSite != nullptr && std::string_view(routine) != "KeWaitForSingleObject")
        fatal(std::string(routine) + " called after KeSetEvent with Wait TRUE by " +
              describeCode(own.waitNextSite) + "; the next call must be KeWaitForSingleObject");
    return *kernel;
}

ThreadContext &context()
{
    return tContext != nullptr ? *tContext : tOwnContext;
}

void resetThreadContext()
{
    tOwnContext = ThreadContext{};
    tContext = nullptr;
}

ContextScope::ContextScope(KIRQL irql) : previous_(tContext), irql_(irql)
{
    context_.irql = irql;
    tContext = &context_;
}

ContextScope::~ContextScope()
{
    tContext = previous_;
}

void ContextScope::checkClean(const char *what, const void *poster) const
{
    if (context_.spinLocksHeld == 0 && context_.irql == irql_ && context_.held.empty())
        return;
    const std::string item = what + describeCode(poster);
    if (context_.waitNextSite != nullptr)
        fatal(item + " returned after KeSetEvent with Wait TRUE by " + describeCode(context_.waitNextSite) +
              " without the wait that must follow");
    if (context_.spinLocksHeld != 0)
        fatal(item + " returned holding " + std::to_string(context_.spinLocksHeld) + " spin lock(s)");
    if (context_.irql != irql_)
        fatal(item + " returned at IRQL " + std::to_string(context_.irql) + " instead of " +
              std::to_string(irql_));
    // An excluder is released by setting its event; one an item still holds
    // when it ends keeps every later acquirer waiting its 1.2 s.
    fatal(item + " returned holding '" + context_.held.back().lockClass + "'");
}

void fuzzDelay()
{
    Kernel *kernel = Kernel::currentOrNull();
    if (kernel == nullptr || !kernel->options().delayFuzz || kernel->options().clock != Clock::Real)
        return;
    struct Fuzzer {
        uint64_t kernelSerial = 0;
        std::mt19937_64 random;
    };
    thread_local Fuzzer fuzzer;
    static std::atomic<uint64_t> threadOrdinal{0};
    if (fuzzer.kernelSerial != gCurrentSerial) {
        fuzzer.kernelSerial = gCurrentSerial;
        const uint64_t ordinal = threadOrdinal.fetch_add(1, std::memory_order_relaxed) + 1;
        fuzzer.random.seed(kernel->options().fuzzSeed ^ (ordinal * 0x9E3779B97F4A7C15ull));
    }
    // Half the time nothing, a quarter a yield, a quarter a sleep of up to 200 us.
    const uint64_t draw = fuzzer.random();
    switch (draw & 3) {
    case 0:
        std::this_thread::yield();
        break;
    case 1:
        std::this_thread::sleep_for(std::chrono::microseconds((draw >> 8) % 201));
        break;
    default:
        break;
    }
}

} // namespace detail
} // namespace zm4::host

using zm4::host::Kernel;
namespace detail = zm4::host::detail;

// ---- IRQL ------------------------------------------------------------------

KIRQL KeGetCurrentIrql()
{
    detail::requireKernel("KeGetCurrentIrql");
    return detail::context().irql;
}

void KeRaiseIrql(KIRQL newIrql, KIRQL *oldIrql)
{
    void *site = __builtin_return_address(0);
    detail::requireKernel("KeRaiseIrql");
    auto &context = detail::context();
    if (newIrql < context.irql)
        detail::fatal("KeRaiseIrql from IRQL " + std::to_string(context.irql) + " to " +
                      std::to_string(newIrql) + " by " + detail::describeCode(site) + ": not a raise");
    if (newIrql > DISPATCH_LEVEL) // nothing the driver does runs above it
        detail::fatal("KeRaiseIrql to " + std::to_string(newIrql) + " by " + detail::describeCode(site) +
                      ": the host models levels up to DISPATCH_LEVEL only");
    *oldIrql = context.irql;
    context.irql = newIrql;
}

void KeLowerIrql(KIRQL newIrql)
{
    void *site = __builtin_return_address(0);
    detail::requireKernel("KeLowerIrql");
    auto &context = detail::context();
    if (newIrql > context.irql)
        detail::fatal("KeLowerIrql from IRQL " + std::to_string(context.irql) + " to " +
                      std::to_string(newIrql) + " by " + detail::describeCode(site) + ": not a lowering");
    if (newIrql < DISPATCH_LEVEL && context.spinLocksHeld != 0)
        detail::fatal("KeLowerIrql below DISPATCH_LEVEL by " + detail::describeCode(site) +
                      " while holding a spin lock");
    context.irql = newIrql;
}

// ---- Interlocked counters ----------------------------------------------------
// The builtins take the driver's volatile words as they are.

LONG InterlockedIncrement(LONG volatile *addend)
{
    detail::requireKernel("InterlockedIncrement");
    return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedDecrement(LONG volatile *addend)
{
    detail::requireKernel("InterlockedDecrement");
    return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedExchange(LONG volatile *target, LONG value)
{
    detail::requireKernel("InterlockedExchange");
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

LONG InterlockedCompareExchange(LONG volatile *destination, LONG exchange, LONG comparand)
{
    detail::requireKernel("InterlockedCompareExchange");
    __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand; // the initial value, whether or not it was replaced
}

// ---- Time ------------------------------------------------------------------

void KeQuerySystemTime(LARGE_INTEGER *currentTime)
{
    currentTime->QuadPart = detail::requireKernel("KeQuerySystemTime").scheduler().now();
}

// ---- Work items ------------------------------------------------------------

void ExQueueWorkItem(WORK_QUEUE_ITEM *workItem, WORK_QUEUE_TYPE /*queueType*/)
{
    // Both queue types are served by the one pool of workers; the driver uses
    // only the critical queue.
    void *site = __builtin_return_address(0);
    Kernel &kernel = detail::requireKernel("ExQueueWorkItem");
    if (workItem == nullptr || workItem->WorkerRoutine == nullptr)
        detail::fatal("ExQueueWorkItem of a null work item or routine by " + detail::describeCode(site));
    // ExInitializeWorkItem clears the link and the queue clears it again before
    // the routine runs: anything else is an item queued twice or never set up.
    if (workItem->List.Flink != nullptr)
        detail::fatal("ExQueueWorkItem by " + detail::describeCode(site) +
                      " of a work item that is already queued or was never initialised");
    workItem->List.Flink = &workItem->List;
    kernel.scheduler().queueWork([workItem] {
        const PWORKER_THREAD_ROUTINE routine = workItem->WorkerRoutine;
        const PVOID parameter = workItem->Parameter;
        workItem->List.Flink = nullptr; // the routine may free or requeue the item
        routine(parameter);
        auto &context = detail::context();
        if (context.irql != PASSIVE_LEVEL || context.spinLocksHeld != 0)
            detail::fatal("work item routine " +
                          detail::describeCode(reinterpret_cast<const void *>(routine), false) +
                          " returned at IRQL " + std::to_string(context.irql) + " holding " +
                          std::to_string(context.spinLocksHeld) + " spin lock(s)");
    });
}

// ---- Lock names for the verifier -------------------------------------------------

void HostVerifierNameLock(PVOID lock, const char *lockClass)
{
    Kernel &kernel = detail::requireKernel("HostVerifierNameLock");
    if (auto *verifier = kernel.verifier())
        verifier->name(lock, lockClass);
}
