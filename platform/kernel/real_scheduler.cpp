// The real-time scheduler: a timer thread for the interrupt-level events, a
// pool of worker threads for work items (the critical work queue runs items
// concurrently), the system clock, and waits that block on a condition variable.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/kernel/kernel_internal.h"

namespace zm4::host {

namespace {

using SteadyClock = std::chrono::steady_clock;

// 1601-01-01 to 1970-01-01 in 100-ns units: system time from the Unix epoch.
constexpr int64_t kUnixEpochAsSystemTime = 116444736000000000;
// How often runUntil re-checks its condition when no item finishes.
constexpr auto kConditionPoll = std::chrono::milliseconds(1);

// A caller's duration in 100-ns units, capped at a year so it cannot overflow.
SteadyClock::duration toDuration(int64_t duration100ns)
{
    constexpr int64_t kYear = 365LL * 24 * 3600 * kSecond;
    return std::chrono::duration_cast<SteadyClock::duration>(
        std::chrono::nanoseconds(std::clamp<int64_t>(duration100ns, 0, kYear) * 100));
}

class RealTimeScheduler final : public SchedulerBackend {
public:
    explicit RealTimeScheduler(const KernelOptions &options) : steadyBase_(SteadyClock::now())
    {
        // The system time is read once and then advanced by the monotonic clock,
        // so a clock adjustment on the host never moves driver time backwards.
        const auto sinceUnix = std::chrono::system_clock::now().time_since_epoch();
        systemBase_ = kUnixEpochAsSystemTime +
                      std::chrono::duration_cast<std::chrono::nanoseconds>(sinceUnix).count() / 100;
        timer_ = std::thread([this] { timerLoop(); });
        for (unsigned i = 0; i < options.workerThreads; ++i)
            workers_.emplace_back([this] { workerLoop(); });
    }

    ~RealTimeScheduler() override
    {
        // Items not yet started are discarded; running ones finish first.
        {
            std::lock_guard guard(mutex_);
            stop_ = true;
        }
        {
            // A wait for ever would keep its worker from ever being joined.
            std::lock_guard guard(eventMutex_);
            stopping_ = true;
        }
        eventCv_.notify_all();
        timerCv_.notify_all();
        workCv_.notify_all();
        timer_.join();
        for (auto &worker : workers_)
            worker.join();
    }

    Clock clock() const override { return Clock::Real; }

    int64_t now() const override { return toSystem(SteadyClock::now()); }

    uint64_t postAt(int64_t time, Callback fn) override
    {
        const void *poster = __builtin_return_address(0);
        uint64_t id;
        {
            std::lock_guard guard(mutex_);
            id = nextId_++;
            const Key key{time, nextSequence_++};
            events_.emplace(key, Item{id, std::move(fn), poster});
            eventIndex_.emplace(id, key);
        }
        timerCv_.notify_all();
        return id;
    }

    bool cancel(uint64_t id) override
    {
        std::lock_guard guard(mutex_);
        auto it = eventIndex_.find(id);
        if (it == eventIndex_.end())
            return false;
        events_.erase(it->second);
        eventIndex_.erase(it);
        return true;
    }

    void queueWork(Callback fn) override
    {
        const void *poster = __builtin_return_address(0);
        {
            std::lock_guard guard(mutex_);
            work_.push_back(Item{0, std::move(fn), poster});
        }
        workCv_.notify_one();
    }

    void runFor(int64_t duration100ns) override
    {
        if (duration100ns > 0)
            std::this_thread::sleep_for(toDuration(duration100ns));
    }

    bool runUntil(std::function<bool()> condition, int64_t limit100ns) override
    {
        const auto end = SteadyClock::now() + toDuration(limit100ns);
        for (;;) {
            if (condition())
                return true;
            const auto at = SteadyClock::now();
            if (at >= end)
                return condition();
            std::unique_lock lock(mutex_);
            itemDoneCv_.wait_until(lock, std::min(end, at + kConditionPoll));
        }
    }

    bool runUntilIdle(int64_t limit100ns) override
    {
        const auto end = SteadyClock::now() + toDuration(limit100ns);
        std::unique_lock lock(mutex_);
        for (;;) {
            if (events_.empty() && work_.empty() && activeItems_ == 0)
                return true;
            const auto at = SteadyClock::now();
            if (at >= end)
                return false;
            itemDoneCv_.wait_until(lock, std::min(end, at + kConditionPoll));
        }
    }

    LONG setEvent(KEVENT *event) override
    {
        LONG previous;
        {
            std::lock_guard guard(eventMutex_);
            previous = event->SignalState;
            event->SignalState = 1;
        }
        eventCv_.notify_all();
        return previous;
    }

    LONG resetEvent(KEVENT *event) override
    {
        std::lock_guard guard(eventMutex_);
        const LONG previous = event->SignalState;
        event->SignalState = 0;
        return previous;
    }

    LONG readEvent(KEVENT *event) override
    {
        std::lock_guard guard(eventMutex_);
        return event->SignalState;
    }

    NTSTATUS wait(KEVENT *event, const int64_t *deadline, const void *caller) override
    {
        std::unique_lock lock(eventMutex_);
        if (deadline == nullptr) {
            eventCv_.wait(lock, [this, event] { return event->SignalState != 0 || stopping_; });
            if (event->SignalState == 0)
                detail::fatal("KeWaitForSingleObject with no time-out by " + detail::describeCode(caller) +
                              " was still waiting when the kernel was destroyed");
        } else {
            const auto until = toSteady(*deadline);
            if (!eventCv_.wait_until(lock, until, [event] { return event->SignalState != 0; }))
                return STATUS_TIMEOUT;
        }
        if (event->Type == SynchronizationEvent)
            event->SignalState = 0; // the wait it satisfies resets it
        return STATUS_SUCCESS;
    }

    void delayUntil(int64_t deadline) override
    {
        const auto until = toSteady(deadline);
        if (until > SteadyClock::now())
            std::this_thread::sleep_until(until);
        else
            std::this_thread::yield();
    }

private:
    using Key = std::pair<int64_t, uint64_t>; // due time, posting sequence
    struct Item {
        uint64_t id;
        Callback fn;
        const void *poster;
    };

    int64_t toSystem(SteadyClock::time_point at) const
    {
        return systemBase_ +
               std::chrono::duration_cast<std::chrono::nanoseconds>(at - steadyBase_).count() / 100;
    }

    SteadyClock::time_point toSteady(int64_t systemTime) const
    {
        // Far deadlines are capped at a year so the arithmetic cannot overflow.
        constexpr int64_t kYear = 365LL * 24 * 3600 * kSecond;
        const int64_t offset =
            std::min(systemTime - systemBase_, toSystem(SteadyClock::now()) - systemBase_ + kYear);
        return steadyBase_ +
               std::chrono::duration_cast<SteadyClock::duration>(std::chrono::nanoseconds(offset) * 100);
    }

    void runItem(Item &item, KIRQL irql, const char *what)
    {
        detail::ContextScope scope(irql);
        item.fn();
        scope.checkClean(what, item.poster);
    }

    void finishItem()
    {
        {
            std::lock_guard guard(mutex_);
            --activeItems_;
        }
        itemDoneCv_.notify_all();
    }

    void timerLoop()
    {
        std::unique_lock lock(mutex_);
        while (!stop_) {
            if (events_.empty()) {
                timerCv_.wait(lock);
                continue;
            }
            auto next = events_.begin();
            const auto due = toSteady(next->first.first);
            if (SteadyClock::now() < due) {
                timerCv_.wait_until(lock, due);
                continue;
            }
            Item item = std::move(next->second);
            eventIndex_.erase(item.id);
            events_.erase(next);
            ++activeItems_;
            lock.unlock();
            runItem(item, DISPATCH_LEVEL, "interrupt-level event posted by ");
            finishItem();
            lock.lock();
        }
    }

    void workerLoop()
    {
        std::unique_lock lock(mutex_);
        while (!stop_) {
            if (work_.empty()) {
                workCv_.wait(lock);
                continue;
            }
            Item item = std::move(work_.front());
            work_.pop_front();
            ++activeItems_;
            lock.unlock();
            detail::fuzzDelay(); // work-item start
            runItem(item, PASSIVE_LEVEL, "work item queued by ");
            finishItem();
            lock.lock();
        }
    }

    const SteadyClock::time_point steadyBase_;
    int64_t systemBase_;

    std::mutex mutex_; // guards the queues, the counters and stop_
    std::condition_variable timerCv_;
    std::condition_variable workCv_;
    std::condition_variable itemDoneCv_;
    std::map<Key, Item> events_;
    std::map<uint64_t, Key> eventIndex_;
    std::deque<Item> work_;
    uint64_t nextId_ = 1;
    uint64_t nextSequence_ = 0;
    unsigned activeItems_ = 0;
    bool stop_ = false;

    // Guards every event's state; waiters sleep on the one condition variable
    // and re-check their own event when any is set.
    std::mutex eventMutex_;
    std::condition_variable eventCv_;
    bool stopping_ = false; // guarded by eventMutex_

    std::thread timer_;
    std::vector<std::thread> workers_;
};

} // namespace

std::unique_ptr<SchedulerBackend> makeRealTimeScheduler(const KernelOptions &options)
{
    return std::make_unique<RealTimeScheduler>(options);
}

} // namespace zm4::host
