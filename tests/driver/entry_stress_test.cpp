// Real-time stress: device requests arriving from several threads at once are
// each processed exactly once, each thread's in its order of arrival, and every
// request block and link block is freed. Meant to run under ThreadSanitizer.
#include <thread>
#include <vector>

#include "port_env.h"

namespace {

class EntryStress : public MachineTest {
protected:
    zm4::host::MachineOptions machineOptions() const override
    {
        return {.kernel = {.clock = zm4::host::Clock::Real, .delayFuzz = true, .fuzzSeed = 11},
                .camera = {},
                .registryPath = {}};
    }
};

TEST_F(EntryStress, ConcurrentDeviceRequestsCompleteOnceEachInArrivalOrder)
{
    constexpr int kThreads = 4;
    constexpr int kPerThread = 60;
    std::vector<std::vector<zm4::host::RequestPtr>> sent(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int n = 0; n < kPerThread; ++n)
                sent[t].push_back(adapter().submitDeviceCommand(n % 2 == 0 ? SRB_PAGING_OUT_DRIVER
                                                                           : SRB_UNKNOWN_DEVICE_COMMAND));
        });
    }
    for (std::thread &thread : threads)
        thread.join();

    // A thread that found the queue busy returned at once; the drainer finishes
    // with the queue before it gives up the drain.
    const std::vector<uint64_t> log = adapter().completionLog();
    std::vector<size_t> position(log.size() + 8, 0);
    for (size_t i = 0; i < log.size(); ++i)
        position[log[i]] = i;
    for (const auto &requests : sent) {
        for (size_t n = 0; n < requests.size(); ++n) {
            ASSERT_TRUE(requests[n]->completed());
            EXPECT_EQ(requests[n]->status(), n % 2 == 0 ? STATUS_SUCCESS : STATUS_NOT_IMPLEMENTED);
            if (n > 0) {
                EXPECT_LT(position[requests[n - 1]->serial()], position[requests[n]->serial()]);
            }
        }
    }
}

} // namespace
