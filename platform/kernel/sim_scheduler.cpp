// The simulated scheduler: one thread, a virtual clock, events in time order
// (equal times in posting order), work items run one at a time to completion,
// and waits that run only the interrupt-level events due before they end.
#include <limits>
#include <map>
#include <thread>

#include "platform/kernel/kernel_internal.h"

namespace zm4::host {

namespace {

// runUntilIdle gives up after this many items even within its time limit, so
// an event that keeps re-posting itself at the same instant cannot hang a test.
constexpr uint64_t kIdleItemLimit = 10'000'000;

class SimulatedScheduler final : public SchedulerBackend {
public:
    explicit SimulatedScheduler(const KernelOptions &options)
        : now_(options.startTime), owner_(std::this_thread::get_id())
    {
    }

    Clock clock() const override { return Clock::Simulated; }

    int64_t now() const override
    {
        checkThread("now");
        return now_;
    }

    uint64_t postAt(int64_t time, std::function<void()> fn) override
    {
        checkThread("postAt");
        const uint64_t id = nextId_++;
        const Key key{time, nextSequence_++};
        events_.emplace(key, Item{id, std::move(fn), __builtin_return_address(0)});
        eventIndex_.emplace(id, key);
        return id;
    }

    bool cancel(uint64_t id) override
    {
        checkThread("cancel");
        auto it = eventIndex_.find(id);
        if (it == eventIndex_.end())
            return false;
        events_.erase(it->second);
        eventIndex_.erase(it);
        return true;
    }

    void queueWork(std::function<void()> fn) override
    {
        checkThread("queueWork");
        work_.emplace(Key{now_, nextSequence_++}, Item{0, std::move(fn), __builtin_return_address(0)});
    }

    void runFor(int64_t duration100ns) override
    {
        checkThread("runFor");
        enterDriving("runFor");
        const int64_t end = addClamped(now_, duration100ns);
        while (runNext(end, true)) {
        }
        now_ = std::max(now_, end);
        driving_ = false;
    }

    bool runUntil(std::function<bool()> condition, int64_t limit100ns) override
    {
        checkThread("runUntil");
        enterDriving("runUntil");
        const int64_t end = addClamped(now_, limit100ns);
        bool holds = condition();
        while (!holds && runNext(end, true))
            holds = condition();
        if (!holds)
            now_ = std::max(now_, end);
        driving_ = false;
        return holds;
    }

    bool runUntilIdle(int64_t limit100ns) override
    {
        checkThread("runUntilIdle");
        enterDriving("runUntilIdle");
        const int64_t end = addClamped(now_, limit100ns);
        uint64_t items = 0;
        while (items < kIdleItemLimit && runNext(end, true))
            ++items;
        driving_ = false;
        return events_.empty() && work_.empty();
    }

    LONG setEvent(KEVENT *event) override
    {
        checkThread("KeSetEvent");
        const LONG previous = event->SignalState;
        event->SignalState = 1;
        return previous;
    }

    LONG resetEvent(KEVENT *event) override
    {
        checkThread("KeResetEvent");
        const LONG previous = event->SignalState;
        event->SignalState = 0;
        return previous;
    }

    LONG readEvent(KEVENT *event) override
    {
        checkThread("KeReadStateEvent");
        return event->SignalState;
    }

    NTSTATUS wait(KEVENT *event, const int64_t *deadline, const void *caller) override
    {
        checkThread("KeWaitForSingleObject");
        if (take(event))
            return STATUS_SUCCESS;
        if (deadline != nullptr && *deadline <= now_)
            return STATUS_TIMEOUT; // a poll runs nothing
        const int64_t end = deadline != nullptr ? *deadline : std::numeric_limits<int64_t>::max();
        // Only interrupt-level events run while code waits: a work item never
        // nests inside another, and the waiter may be one.
        while (runNext(end, false)) {
            if (take(event))
                return STATUS_SUCCESS;
        }
        if (deadline == nullptr)
            detail::fatal(
                "KeWaitForSingleObject with no time-out by " + detail::describeCode(caller) +
                " can never end: its event is not signalled and no interrupt-level event is pending "
                "(simulated time)");
        now_ = std::max(now_, end);
        return STATUS_TIMEOUT;
    }

    void delayUntil(int64_t deadline) override
    {
        checkThread("KeDelayExecutionThread");
        while (runNext(deadline, false)) {
        }
        now_ = std::max(now_, deadline);
    }

private:
    using Key = std::pair<int64_t, uint64_t>; // due time, posting sequence
    struct Item {
        uint64_t id;
        std::function<void()> fn;
        const void *poster;
    };

    static int64_t addClamped(int64_t time, int64_t duration)
    {
        if (duration > 0 && time > std::numeric_limits<int64_t>::max() - duration)
            return std::numeric_limits<int64_t>::max();
        return time + std::max<int64_t>(duration, 0);
    }

    static bool take(KEVENT *event)
    {
        if (event->SignalState == 0)
            return false;
        if (event->Type == SynchronizationEvent)
            event->SignalState = 0; // the wait it satisfies resets it
        return true;
    }

    void checkThread(const char *what) const
    {
        if (std::this_thread::get_id() != owner_)
            detail::fatal(
                std::string(what) +
                " called from a second thread while the kernel runs in simulated time; simulated time "
                "has one thread (use Clock::Real for threads)");
    }

    void enterDriving(const char *what)
    {
        // Only the code that owns time may drive it: from inside an item it
        // would nest work items, from inside a runUntil condition it would
        // move the clock under the caller.
        if (running_ != 0 || driving_)
            detail::fatal(std::string("Scheduler::") + what +
                          " called from inside a work item, an event or a runUntil condition; only the code "
                          "driving the simulation may drive time");
        driving_ = true;
    }

    // Runs the earliest item due at or before end (work items only when
    // allowed); false when there is none.
    bool runNext(int64_t end, bool includeWork)
    {
        auto event = events_.begin();
        const bool eventDue = event != events_.end() && event->first.first <= end;
        auto work = work_.begin();
        const bool workDue = includeWork && work != work_.end() && work->first.first <= end;
        if (!eventDue && !workDue)
            return false;
        if (eventDue && (!workDue || event->first < work->first)) {
            Item item = std::move(event->second);
            now_ = std::max(now_, event->first.first);
            eventIndex_.erase(item.id);
            events_.erase(event);
            runItem(item, DISPATCH_LEVEL, "interrupt-level event posted by ");
        } else {
            Item item = std::move(work->second);
            now_ = std::max(now_, work->first.first);
            work_.erase(work);
            runItem(item, PASSIVE_LEVEL, "work item queued by ");
        }
        return true;
    }

    void runItem(Item &item, KIRQL irql, const char *what)
    {
        ++running_;
        detail::ContextScope scope(irql);
        item.fn();
        scope.checkClean(what, item.poster);
        --running_;
    }

    int64_t now_;
    std::thread::id owner_;
    uint64_t nextId_ = 1;
    uint64_t nextSequence_ = 0;
    std::map<Key, Item> events_; // interrupt level
    std::map<uint64_t, Key> eventIndex_;
    std::map<Key, Item> work_; // passive level, in queueing order
    bool driving_ = false;
    unsigned running_ = 0;
};

} // namespace

std::unique_ptr<SchedulerBackend> makeSimulatedScheduler(const KernelOptions &options)
{
    return std::make_unique<SimulatedScheduler>(options);
}

} // namespace zm4::host
