// Real time, meant for ThreadSanitizer, with the delay fuzzer at every lock,
// event, work item, bus call and completion: capture with failing isochronous
// requests, two readers (one cancelling each read at once), a property thread
// and the test thread stopping and restarting the stream, all at once. A
// lock-order, IRQL or double-completion fault aborts the run; every read must
// complete exactly once and nothing may leak.
#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include "driver/stream_data.h"
#include "port_env.h"
#include "settings/propman.h"

using zm4::host::kMillisecond;
using zm4::host::kSecond;
using zm4::host::RequestPtr;

namespace {

class StreamStress : public MachineTest {
protected:
    zm4::host::MachineOptions machineOptions() const override
    {
        zm4::host::MachineOptions options;
        options.kernel.clock = zm4::host::Clock::Real;
        options.kernel.delayFuzz = true;
        options.kernel.workerThreads = 3;
        return options;
    }
};

TEST_F(StreamStress, FuzzedReadsCancelsPropertiesAndStopsAtOnce)
{
    NTSTATUS status = STATUS_PENDING;
    std::unique_ptr<zm4::host::Stream> stream =
        adapter().openVideoStream(STREAM_FORMAT_I420, 176, 144, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    // Failed requests, two in a row now and then: crises racing the stops.
    machine().changeCamera([](zm4::emu::Camera &camera) { camera.faults().isoFail = {true, 0.02}; });
    ASSERT_EQ(stream->run(), STATUS_SUCCESS);
    std::atomic<bool> done{false};
    std::mutex mutex;
    std::vector<uint64_t> serials;
    std::atomic<size_t> frames{0};
    auto reader = [&](bool cancel) {
        while (!done) {
            RequestPtr read = stream->queueRead(stream->frameBytes());
            if (cancel)
                stream->cancelRead(read);
            // A frame, a filler, a stop or the cancel completes it; on a loaded machine
            // real-time frames may not come at all, and the last stop completes it.
            while (!machine().waitFor(read, 100 * kMillisecond) && !done) {
            }
            frames += read->status() == STATUS_SUCCESS && read->dataUsed() == stream->frameBytes() ? 1 : 0;
            std::lock_guard lock(mutex);
            serials.push_back(read->serial());
        }
    };
    const struct {
        const GUID &set;
        ULONG id;
        ULONG flags;
    } kSets[] = {{PROPSETID_VIDCAP_VIDEOPROCAMP, PROPMAN_VPA_BRIGHTNESS, 0},
                 {PROPSETID_LUMPROP, PROPMAN_LUM_FRAME_RATE, PROPMAN_FLAG_AUTO},
                 {PROPSETID_LUMPROP, PROPMAN_LUM_COMPRESSION_CONF, PROPMAN_FLAG_ON},
                 {PROPSETID_LUMPROP, PROPMAN_LUM_EXP_COARSE, PROPMAN_FLAG_MANUAL | PROPMAN_FLAG_APPLY}};
    std::thread threads[] = {std::thread(reader, false), std::thread(reader, true), std::thread([&] {
                                 for (LONG i = 1; !done; ++i) {
                                     const auto &set = kSets[i % 4];
                                     adapter().setProperty(set.set, set.id, i % 6, set.flags);
                                     adapter().getProperty(set.set, set.id);
                                     // Paced as an application sets them: back to back they keep camera
                                     // control busy and frames rarely get through.
                                     std::this_thread::sleep_for(std::chrono::milliseconds(20));
                                 }
                             })};
    for (int cycle = 0; cycle < 3; ++cycle) {
        machine().runFor(700 * kMillisecond);
        EXPECT_EQ(stream->stop(), STATUS_SUCCESS);
        EXPECT_EQ(stream->run(), STATUS_SUCCESS);
    }
    // How many frames get through depends on how late real-time ticks come;
    // give them a while, but only the completions are checked.
    machine().runUntil([&] { return frames.load() > 2; }, 5 * kSecond);
    done = true;
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(stream->stop(), STATUS_SUCCESS);
    std::map<uint64_t, int> completions;
    for (uint64_t serial : adapter().completionLog())
        completions[serial] += 1;
    for (uint64_t serial : serials)
        EXPECT_EQ(completions[serial], 1) << "read #" << serial;
}

} // namespace
