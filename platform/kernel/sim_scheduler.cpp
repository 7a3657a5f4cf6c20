// The simulated scheduler: one thread, a virtual clock, events in time order
// (equal times in posting order), work items run one at a time to completion,
// and waits that run only the interrupt-level events due before they end.
// Events live in slots of one vector, ordered by a binary heap of (time,
// posting sequence); a cancelled event is dropped from its slot at once and
// from the heap when it comes up (or when cancelled entries outnumber the
// live ones), so posting and cancelling allocate nothing once the vectors
// have grown.
#include <algorithm>
#include <deque>
#include <limits>
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

    uint64_t postAt(int64_t time, Callback fn) override
    {
        checkThread("postAt");
        uint32_t slot;
        if (!freeSlots_.empty()) {
            slot = freeSlots_.back();
            freeSlots_.pop_back();
        } else {
            slot = static_cast<uint32_t>(slots_.size());
            slots_.emplace_back();
        }
        Slot &entry = slots_[slot];
        // Zero is no generation, so that no id is 0 and an id of a slot's
        // earlier event never matches its later one.
        entry.generation = entry.generation == UINT32_MAX ? 1 : entry.generation + 1;
        entry.pending = true;
        entry.fn = std::move(fn);
        entry.poster = __builtin_return_address(0);
        heap_.push_back(HeapEntry{time, nextSequence_++, slot});
        std::push_heap(heap_.begin(), heap_.end(), Later{});
        ++liveEvents_;
        return static_cast<uint64_t>(entry.generation) << 32 | slot;
    }

    bool cancel(uint64_t id) override
    {
        checkThread("cancel");
        const uint64_t slot = id & UINT32_MAX;
        if (slot >= slots_.size())
            return false;
        Slot &entry = slots_[slot];
        if (!entry.pending || entry.generation != id >> 32)
            return false;
        entry.pending = false;
        entry.fn.reset();
        --liveEvents_;
        if (heap_.size() > 64 && heap_.size() > 2 * liveEvents_)
            dropCancelled();
        return true;
    }

    void queueWork(Callback fn) override
    {
        checkThread("queueWork");
        work_.push_back(WorkItem{now_, nextSequence_++, std::move(fn), __builtin_return_address(0)});
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
        while (!holds && runNext(end, true, false))
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
        // Not ahead: the item limit may hand control back before end.
        while (items < kIdleItemLimit && runNext(end, true, false))
            ++items;
        driving_ = false;
        return liveEvents_ == 0 && work_.empty();
    }

    int64_t quietUntil() override
    {
        checkThread("quietUntil");
        if (running_ == 0)
            return now_;
        int64_t until = std::max(quietLimit_, now_);
        if (!heap_.empty())
            until = std::min(until, heap_.front().time);
        if (quietWork_ && !work_.empty())
            until = std::min(until, work_.front().time);
        return until;
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
    struct Slot {
        Callback fn;
        const void *poster = nullptr;
        uint32_t generation = 0;
        bool pending = false; // posted, not yet run or cancelled
    };
    struct HeapEntry {
        int64_t time;
        uint64_t sequence;
        uint32_t slot;
    };
    // The heap's order: the earliest time first, equal times by posting.
    struct Later {
        bool operator()(const HeapEntry &a, const HeapEntry &b) const
        {
            return a.time != b.time ? a.time > b.time : a.sequence > b.sequence;
        }
    };
    struct WorkItem {
        int64_t time; // when queued: work runs in queueing order
        uint64_t sequence;
        Callback fn;
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

    void releaseSlot(uint32_t slot) { freeSlots_.push_back(slot); }

    // Pops the cancelled entries off the top of the heap.
    void skipCancelled()
    {
        while (!heap_.empty() && !slots_[heap_.front().slot].pending) {
            releaseSlot(heap_.front().slot);
            std::pop_heap(heap_.begin(), heap_.end(), Later{});
            heap_.pop_back();
        }
    }

    // Rebuilds the heap from the live entries, so that events cancelled far
    // ahead of their time (a watchdog re-armed over and over) cannot pile up.
    void dropCancelled()
    {
        auto live = std::partition(heap_.begin(), heap_.end(),
                                   [this](const HeapEntry &entry) { return slots_[entry.slot].pending; });
        for (auto it = live; it != heap_.end(); ++it)
            releaseSlot(it->slot);
        heap_.erase(live, heap_.end());
        std::make_heap(heap_.begin(), heap_.end(), Later{});
    }

    // Runs the earliest item due at or before end (work items only when
    // allowed); false when there is none. `ahead`: the item may work ahead up
    // to what is due next or end (quietUntil), else only up to now.
    bool runNext(int64_t end, bool includeWork, bool ahead = true)
    {
        skipCancelled();
        const bool eventDue = !heap_.empty() && heap_.front().time <= end;
        const bool workDue = includeWork && !work_.empty() && work_.front().time <= end;
        if (!eventDue && !workDue)
            return false;
        if (eventDue && (!workDue || std::pair(heap_.front().time, heap_.front().sequence) <
                                         std::pair(work_.front().time, work_.front().sequence))) {
            const HeapEntry top = heap_.front();
            std::pop_heap(heap_.begin(), heap_.end(), Later{});
            heap_.pop_back();
            Slot &slot = slots_[top.slot];
            Callback fn = std::move(slot.fn);
            const void *poster = slot.poster;
            slot.pending = false;
            --liveEvents_;
            releaseSlot(top.slot);
            now_ = std::max(now_, top.time);
            // What the event may see as quiet: work items wait for a wait to
            // end, so inside one they do not count.
            const int64_t savedLimit = quietLimit_;
            const bool savedWork = quietWork_;
            quietLimit_ = ahead ? end : now_;
            quietWork_ = includeWork;
            runItem(fn, poster, DISPATCH_LEVEL, "interrupt-level event posted by ");
            quietLimit_ = savedLimit;
            quietWork_ = savedWork;
        } else {
            WorkItem item = std::move(work_.front());
            work_.pop_front();
            now_ = std::max(now_, item.time);
            runItem(item.fn, item.poster, PASSIVE_LEVEL, "work item queued by ");
        }
        return true;
    }

    void runItem(Callback &fn, const void *poster, KIRQL irql, const char *what)
    {
        ++running_;
        detail::ContextScope scope(irql);
        fn();
        scope.checkClean(what, poster);
        --running_;
    }

    int64_t now_;
    std::thread::id owner_;
    uint64_t nextSequence_ = 0;
    std::vector<Slot> slots_;         // interrupt-level events, by slot
    std::vector<uint32_t> freeSlots_; // slots whose heap entry has gone
    std::vector<HeapEntry> heap_;     // pending and cancelled events
    size_t liveEvents_ = 0;           // pending ones
    std::deque<WorkItem> work_;       // passive level, in queueing order
    bool driving_ = false;
    unsigned running_ = 0;
    // The running event's limits for quietUntil.
    int64_t quietLimit_ = 0;
    bool quietWork_ = true;
};

} // namespace

std::unique_ptr<SchedulerBackend> makeSimulatedScheduler(const KernelOptions &options)
{
    return std::make_unique<SimulatedScheduler>(options);
}

} // namespace zm4::host
