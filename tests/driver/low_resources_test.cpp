// The capture path short of pool: stream cycles leave the pool as they found
// it; every allocation site on the path, failed in turn, gives a clean status,
// leaves no block and no pending request, and the device streams again; ten
// thousand frames with allocations failing at random lose nothing.
#include <algorithm>
#include <cstdio>
#include <set>

#include "driver/debug.h"
#include "driver/stream_data.h"
#include "port_env.h"

using namespace zm4::host;

namespace {

// No block of the driver, the port or the bus outlives the device.
void expectNothingLeft(Machine &machine, const std::string &context)
{
    machine.removeDevice();
    EXPECT_EQ(machine.kernel().pool().liveBlocks(), 0u) << context << machine.kernel().pool().leakReport();
}

std::unique_ptr<Stream> openStream(Machine &machine, NTSTATUS *status)
{
    return machine.adapter().openVideoStream(STREAM_FORMAT_YUY2, 176, 144, status);
}

// A read that took a frame from the camera: the whole frame, not a filler.
bool deliveredFrame(const RequestPtr &read, size_t frameBytes)
{
    return read->completed() && read->status() == STATUS_SUCCESS && read->dataUsed() == frameBytes &&
           std::any_of(read->data().begin(), read->data().end(), [](uint8_t b) { return b != 0xFA; });
}

// Open, run, read a frame, stop and close, over and over.
void cycleStream(int cycles)
{
    Machine machine;
    Pool &pool = machine.kernel().pool();
    const size_t blocks = pool.liveBlocks();
    for (int cycle = 0; cycle < cycles; ++cycle) {
        NTSTATUS status = STATUS_PENDING;
        auto stream = openStream(machine, &status);
        ASSERT_TRUE(stream != nullptr && stream->run() == STATUS_SUCCESS) << std::hex << status;
        std::vector<uint8_t> buffer(stream->frameBytes());
        ASSERT_TRUE(deliveredFrame(machine.readFrame(*stream, buffer), buffer.size())) << "cycle " << cycle;
        ASSERT_EQ(stream->close(), STATUS_SUCCESS);
        // A work item the timer has just queued may still hold its record.
        ASSERT_TRUE(machine.runUntil([&] { return pool.liveBlocks() == blocks; }, kSecond))
            << pool.leakReport();
    }
    expectNothingLeft(machine, "");
}

TEST(LowResources, StreamCyclesLeaveThePoolAsTheyFoundIt)
{
    cycleStream(100); // the soak run makes it a thousand
}

TEST(LowResourcesSoak, AThousandStreamCyclesLeaveThePoolAsTheyFoundIt)
{
    cycleStream(1000);
}

// Initialise, open, stream, change properties, stop, close. A step fails only
// after the pool has, with STATUS_INSUFFICIENT_RESOURCES or what the driver
// gives there (initialise: STATUS_IO_DEVICE_ERROR; start: no isochronous
// request, or the camera did not start). Then, the pool whole again, the device
// streams (unless initialise lost its USB set-up: that lasts by design).
void useTheCamera(Machine &machine)
{
    Pool &pool = machine.kernel().pool();
    const auto allowed = [&](NTSTATUS status, std::set<NTSTATUS> failures) {
        failures.insert(STATUS_INSUFFICIENT_RESOURCES);
        return status == STATUS_SUCCESS || (pool.failedCount() != 0 && failures.count(status) != 0);
    };
    const NTSTATUS initialised = machine.addDevice();
    ASSERT_TRUE(allowed(initialised, {STATUS_IO_DEVICE_ERROR})) << std::hex << initialised;
    const bool initialiseFailed = pool.failedCount() != 0;
    if (initialised != STATUS_SUCCESS)
        return;
    NTSTATUS status = STATUS_PENDING;
    auto stream = openStream(machine, &status);
    ASSERT_TRUE(allowed(status, {})) << std::hex << status;
    if (stream != nullptr) {
        status = stream->setState(KSSTATE_PAUSE);
        EXPECT_TRUE(allowed(status, {STATUS_IO_DEVICE_ERROR, STATUS_UNSUCCESSFUL})) << std::hex << status;
        const bool running = status == STATUS_SUCCESS && stream->setState(KSSTATE_RUN) == STATUS_SUCCESS;
        std::vector<RequestPtr> reads;
        for (int i = 0; i < 3; ++i)
            reads.push_back(stream->queueRead(stream->frameBytes()));
        const NTSTATUS set = machine.adapter().setProperty(PROPSETID_VIDCAP_VIDEOPROCAMP, 0, 20, 0).status;
        EXPECT_TRUE(allowed(set, {})) << std::hex << set; // brightness, pushed to the camera
        // Running, a read ends in a frame or a filler (2.5 s without frames).
        for (const RequestPtr &read : reads)
            EXPECT_TRUE(!running || machine.waitFor(read, 4 * kSecond)) << read->describe();
        EXPECT_TRUE(allowed(stream->stop(), {}));
        stream->close(); // stops for good; the port aborts if a read is still pending
        for (const RequestPtr &read : reads)
            EXPECT_TRUE(read->completed() && allowed(read->status(), {STATUS_TIMEOUT}))
                << std::hex << read->status();
    }
    pool.clearFailures();
    stream = openStream(machine, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    if (!initialiseFailed) {
        ASSERT_EQ(stream->run(), STATUS_SUCCESS);
        std::vector<uint8_t> buffer(stream->frameBytes());
        EXPECT_TRUE(deliveredFrame(machine.readFrame(*stream, buffer), buffer.size()));
    }
    // No failure left a lock held: a later taker would have waited it out.
    EXPECT_EQ(Debug_GetRecord()->problemBits & DEBUG_PROBLEM_EXCLUDER_TIMEOUT, 0u);
}

TEST(LowResources, EveryAllocationSiteOnTheCapturePathFailedInTurn)
{
    std::set<Pool::CallSite> failed;
    for (;;) {
        MachineOptions options;
        options.addDevice = false;
        Machine machine(options);
        machine.kernel().pool().failNewSites(failed, 1);
        useTheCamera(machine);
        const std::vector<Pool::CallSite> hit = machine.kernel().pool().failedSites();
        const std::string site = "failing " + (hit.empty() ? "no site" : Pool::describe(hit.front())) + "\n";
        expectNothingLeft(machine, site);
        if (HasFailure())
            FAIL() << site;
        if (hit.empty())
            break;
        failed.insert(hit.front());
    }
    std::printf("allocation sites failed in turn: %zu\n", failed.size());
    EXPECT_GE(failed.size(), 20u);
}

TEST(LowResourcesSoak, TenThousandFramesWithSixPercentOfAllocationsFailing)
{
    Machine machine;
    Pool &pool = machine.kernel().pool();
    pool.failRandomly(20261206, 0.06);
    std::unique_ptr<Stream> stream;
    std::vector<RequestPtr> reads;
    size_t next = 0;           // the oldest read not yet waited for
    int frames = 0, quiet = 0; // quiet: reads in a row that got no frame
    while (frames < 10000) {
        // An application restarts a stream that fails to start or goes quiet
        // (a crisis whose work item could not be queued stops the flow).
        if (stream == nullptr || quiet == 3) {
            stream.reset(); // stops the stream: its pending reads complete
            next = reads.size();
            quiet = 0;
            NTSTATUS status = STATUS_PENDING;
            if (stream = openStream(machine, &status); stream == nullptr || stream->run() != STATUS_SUCCESS) {
                stream.reset();
                continue;
            }
        }
        while (reads.size() - next < 2)
            reads.push_back(stream->queueRead(stream->frameBytes()));
        const RequestPtr &read = reads[next++];
        ASSERT_TRUE(machine.waitFor(read, 4 * kSecond))
            << read->describe() << " after " << frames << " frames";
        quiet = deliveredFrame(read, stream->frameBytes()) ? 0 : quiet + 1;
        frames += quiet == 0 ? 1 : 0;
    }
    stream.reset();
    pool.clearFailures();
    std::printf("%zu reads, %lu of %lu allocations failed\n", reads.size(), pool.failedCount(),
                pool.allocationCount());
    // Every read completed; none twice, or the port would have stopped.
    for (const RequestPtr &read : reads)
        ASSERT_TRUE(read->completed()) << read->describe();
    expectNothingLeft(machine, "");
}

} // namespace
