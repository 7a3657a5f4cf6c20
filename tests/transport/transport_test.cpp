// The video transport against the emulated camera, on the whole machine: frames
// streamed through the isochronous transfer, frame assembly and capture control
// to reads an application keeps waiting, checked against what the camera says
// the host should show (re-encoded by the test's own encoder and decoded
// afresh), the camera's command trace, the registry, the problem record and
// the pool.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "decode/resize.h"
#include "decode/zm4decode.h"
#include "driver/debug.h"
#include "driver/device_extension.h"
#include "driver/entry.h"
#include "driver/stream.h"
#include "driver/stream_data.h"
#include "link/zirc.h"
#include "platform/port/machine.h"
#include "tests/support/frame_encoder.h"
#include "transport/frame.h"

namespace {

constexpr ULONG kRGB24 = 0, kRGB555 = 1, kI420 = 2, kYV12 = 3, kUYVY = 4, kYUY2 = 5;

struct Captured {
    int64_t timeMs;
    bool compressed;
    zm4::testing::Image422 reference;
};

class TransportTest : public ::testing::Test {
protected:
    explicit TransportTest(zm4::host::Clock clock = zm4::host::Clock::Simulated)
        : machine_([clock] {
              zm4::host::MachineOptions o;
              o.kernel.clock = clock;
              return o;
          }())
    {
    }

    void SetUp() override
    {
        setValue("Flicker", 0);
        machine_.camera().setFrameObserver([this](const zm4::emu::CapturedFrame &f) {
            FrameHeaderInfo info;
            StreamErrorDetails details;
            bool compressed = VerifyStreamBounded(f.bytes.data(), f.bytes.size(), &info, &details) == 0 &&
                              info.compression != 0;
            zm4::testing::Image422 ref(f.reference->width, f.reference->height);
            ref.data = f.reference->data;
            std::lock_guard lock(capturedMutex_);
            captured_.push_back({f.timeMs, compressed, std::move(ref)});
        });
        baseBlocks_ = driverBlocks();
    }

    void TearDown() override
    {
        if (stream_)
            stop();
        machine_.camera().setFrameObserver(nullptr);
        machine_.removeDevice();
        EXPECT_EQ(driverBlocks(), 0u) << machine_.kernel().pool().leakReport();
    }

    size_t driverBlocks() { return machine_.kernel().pool().liveBlocks(kPoolTagWdm); }
    // The stream opened and running at that format and size; stop() ends it.
    // Opened and paused: the pipeline starts; the first run() queues its
    // reads before RUN, so that none takes the decode buffer before the
    // first frame was decoded into it.
    NTSTATUS start(ULONG format, LONG width, LONG height)
    {
        NTSTATUS status = STATUS_PENDING;
        stream_ = machine_.adapter().openVideoStream(format, width, height, &status);
        return stream_ ? stream_->setState(KSSTATE_PAUSE) : status;
    }
    NTSTATUS stop()
    {
        const NTSTATUS status = stream_->stop();
        harvest();
        stream_->close();
        stream_.reset();
        reads_.clear();
        return status;
    }
    // Completed reads that got a frame, in completion order, into taken_.
    void harvest()
    {
        std::erase_if(reads_, [this](const zm4::host::RequestPtr &read) {
            if (!read->completed())
                return false;
            if (read->status() == STATUS_SUCCESS && read->dataUsed() == read->data().size())
                taken_.emplace_back(read->data().begin(), read->data().end());
            return true;
        });
    }
    DEVICE_EXTENSION *dev() { return static_cast<DEVICE_EXTENSION *>(machine_.adapter().deviceExtension()); }
    void setValue(const char *name, uint32_t v)
    {
        machine_.registry().write(zm4::host::kDriverKeyPath, name, zm4::host::RegistryValue::dword(v));
    }
    uint32_t value(const char *name)
    {
        auto stored = machine_.registry().read(zm4::host::kDriverKeyPath, name);
        return stored ? stored->asDword().value_or(~0u) : ~0u;
    }

    // ms of time in 10-ms slices, keeping `reads` read requests waiting as an
    // application would.
    void run(int64_t ms, size_t reads)
    {
        const int64_t end = machine_.scheduler().now() + ms * zm4::host::kMillisecond;
        while (machine_.scheduler().now() < end) {
            while (reads_.size() < reads)
                reads_.push_back(stream_->queueRead(stream_->frameBytes()));
            if (stream_->state() != KSSTATE_RUN) {
                ASSERT_EQ(stream_->setState(KSSTATE_RUN), STATUS_SUCCESS);
            }
            machine_.runFor(10 * zm4::host::kMillisecond);
            harvest();
        }
    }

    // What a read of this format must hold for a captured frame: its reference
    // image encoded uncompressed by the test's encoder, decoded afresh, doubled
    // when upscaling.
    std::vector<uint8_t> expected(const Captured &c, ULONG format, bool upscale)
    {
        const ULONG bpp = StreamData_GetBitsPerPixel(0, format);
        zm4::testing::EncodeOptions options;
        options.videoSize = c.reference.width > 176 ? 1 : 0;
        auto frame = zm4::testing::encodeFrame(c.reference, options);
        std::vector<uint8_t> out(size_t{bpp} * c.reference.width * c.reference.height / 8 *
                                 (upscale ? 4 : 1));
        uint16_t state = 0;
        EXPECT_EQ(
            FormatStream(FormatToSupplyFourCC(StreamData_GetFourCC(0, format), static_cast<uint16_t>(bpp)),
                         frame.bytes.data(), out.data(), c.reference.width, c.reference.height, &state),
            0u);
        if (upscale)
            Resize_by_2_PolyPhase(out.data(), c.reference.height, c.reference.width);
        return out;
    }

    const std::vector<uint8_t> &expectedAt(size_t j, ULONG format, bool upscale)
    {
        if (cache_.size() != captured_.size() || cacheFormat_ != format) {
            cache_.assign(captured_.size(), {});
            cacheFormat_ = format;
        }
        if (cache_[j].empty())
            cache_[j] = expected(captured_[j], format, upscale);
        return cache_[j];
    }

    // Every read taken holds the picture of a captured frame, in capture order;
    // returns the capture index each matched.
    std::vector<size_t> matchReads(ULONG format, bool upscale = false)
    {
        std::vector<size_t> matched;
        size_t next = 0;
        std::lock_guard lock(capturedMutex_);
        for (const auto &read : taken_) {
            size_t j = next;
            while (j < captured_.size() && expectedAt(j, format, upscale) != read)
                ++j;
            EXPECT_LT(j, captured_.size()) << "read " << matched.size() << " matches no captured frame";
            if (j == captured_.size())
                break;
            matched.push_back(j);
            next = j;
        }
        return matched;
    }

    // Times of the grab commands the camera received since from.
    std::vector<int64_t> grabsSince(size_t from)
    {
        std::vector<int64_t> times;
        const auto &e = machine_.camera().trace().entries();
        for (size_t i = from; i < e.size(); ++i)
            if (e[i].request == 0xC1)
                times.push_back(e[i].timeMs);
        return times;
    }

    zm4::host::Machine machine_;
    std::unique_ptr<zm4::host::Stream> stream_;
    std::vector<zm4::host::RequestPtr> reads_;
    std::vector<std::vector<uint8_t>> taken_;
    std::mutex capturedMutex_;
    std::vector<Captured> captured_;
    size_t baseBlocks_ = 0;
    std::vector<std::vector<uint8_t>> cache_;
    ULONG cacheFormat_ = ~0u;
};

// CIF at every output format and compression setting (1 off, 5 on, 10 on with
// decimation): every read gets the camera's picture, the first one from an
// uncompressed frame; one grab per frame; nothing per frame is allocated but
// the frame's worker record.
TEST_F(TransportTest, CifStreamsDeliverTheCamerasPictureAtEverySetting)
{
    const struct {
        ULONG format;
        uint32_t capValue;
    } cases[] = {{kRGB24, 1}, {kYUY2, 5}, {kI420, 10}, {kRGB555, 5}, {kYV12, 1}, {kUYVY, 10}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.format);
        setValue("CapValue", c.capValue);
        captured_.clear();
        taken_.clear();
        size_t from = machine_.camera().trace().entries().size();
        const uint64_t uploaded = machine_.camera().counters().framesUploaded;
        ASSERT_EQ(start(c.format, 352, 288), STATUS_SUCCESS);
        EXPECT_EQ(dev()->xferRequestsInFlight, 8);
        run(3000, 2);
        auto matched = matchReads(c.format);
        EXPECT_GT(matched.size(), c.capValue == 1 ? 10u : 60u);
        ASSERT_FALSE(matched.empty());
        EXPECT_FALSE(captured_[matched.front()].compressed);
        EXPECT_EQ(std::count_if(captured_.begin(), captured_.end(), [](auto &f) { return f.compressed; }) > 0,
                  c.capValue != 1);
        EXPECT_EQ(machine_.camera().decimation(), c.capValue == 10);
        // One grab per frame sent, none lost or repeated.
        auto grabs = grabsSince(from);
        EXPECT_NEAR(double(grabs.size()), double(machine_.camera().counters().framesUploaded - uploaded),
                    2.0);
        EXPECT_EQ(stop(), STATUS_SUCCESS);
        EXPECT_EQ(dev()->xferRequestsInFlight, 0);
        EXPECT_EQ(machine_.camera().alternate(), 0);
        EXPECT_FALSE(machine_.camera().powered());
    }
    EXPECT_EQ(value("XferIRPs"), 8u);
    EXPECT_EQ(value("XferPackets"), 8u);
    EXPECT_EQ(Debug_GetRecord()->crisisCount, 0u);
    EXPECT_EQ(Debug_GetRecord()->problemCount, 0u);
    machine_.runFor(50 * zm4::host::kMillisecond);
    EXPECT_EQ(driverBlocks(), baseBlocks_);

    // 300 frames: the pool sees, besides camera commands (a fixed number of
    // blocks each), only worker records: one per frame and per read request
    // (which also brings its request block and link block), and the
    // watchdogs' few.
    auto &pool = machine_.kernel().pool();
    auto &trace = machine_.camera().trace().entries();
    uint64_t a0 = pool.allocationCount();
    size_t t0 = trace.size();
    UCHAR b[4];
    ZIRC_GetVersion(dev(), &b[0], &b[1], &b[2], &b[3]);
    const uint64_t perCommand = (pool.allocationCount() - a0) / (trace.size() - t0);
    a0 = pool.allocationCount();
    Frame_Request(dev());
    const uint64_t worker = pool.allocationCount() - a0;
    machine_.runFor(10 * zm4::host::kMillisecond);
    setValue("CapValue", 5);
    ASSERT_EQ(start(kYUY2, 352, 288), STATUS_SUCCESS);
    run(500, 1);
    const uint64_t a1 = pool.allocationCount();
    const size_t t1 = trace.size();
    const uint64_t frames0 = machine_.camera().counters().framesUploaded;
    const size_t reads0 = taken_.size();
    while (machine_.camera().counters().framesUploaded < frames0 + 300)
        run(100, 1);
    const uint64_t frames = machine_.camera().counters().framesUploaded - frames0;
    const uint64_t reads = taken_.size() - reads0 + 1;
    const uint64_t transport = pool.allocationCount() - a1 - perCommand * (trace.size() - t1);
    EXPECT_GE(transport, worker * frames);
    EXPECT_LE(transport, worker * (frames + reads + 12) + 2 * reads);
    stop();
}

// 640 x 480 runs the camera at 320 x 240 on demand and delivers doubled
// frames; the held frame is handed out once, and only at the exact size.
TEST_F(TransportTest, LargeOutputIsDoubledFromAHalfSizeCameraOnDemand)
{
    ASSERT_EQ(start(kRGB24, 640, 480), STATUS_SUCCESS);
    run(2000, 1);
    auto matched = matchReads(kRGB24, true);
    EXPECT_GT(matched.size(), 5u);
    EXPECT_EQ(taken_.front().size(), 640u * 480 * 3);
    EXPECT_EQ(captured_.back().reference.width, 320u);
    EXPECT_EQ(captured_.back().reference.height, 240u);

    // Nobody reads: frames stop coming after the one outstanding grab.
    run(300, 0);
    size_t from = machine_.camera().trace().entries().size();
    run(1000, 0);
    EXPECT_TRUE(grabsSince(from).empty());
    EXPECT_EQ(dev()->captureOnDemand, 1u);
    std::vector<uint8_t> copy(640 * 480 * 3);
    EXPECT_EQ(Frame_BufferAvailable(dev(), copy.data(), 640 * 480 * 2), 0u);
    EXPECT_EQ(Frame_BufferAvailable(dev(), copy.data(), ULONG(copy.size())), 1u);
    EXPECT_EQ(expected(captured_.back(), kRGB24, true), copy);
    EXPECT_EQ(Frame_BufferAvailable(dev(), copy.data(), ULONG(copy.size())), 0u);
    stop();
}

// A stall: the transfer recovers through crises (pipe reset, bandwidth from the
// registry, corrected to 3) while the grab is repeated every 500 ms; when
// packets return, frames flow again from an uncompressed one. A stall that
// lasts gives up after ten crises with problem 2, until stop and start.
TEST_F(TransportTest, StallsAreRecoveredOrGivenUpAfterTenCrises)
{
    setValue("Bandwidth", 4);
    ASSERT_EQ(start(kYUY2, 352, 288), STATUS_SUCCESS);
    EXPECT_EQ(value("Bandwidth"), 3u);
    run(1000, 2);
    machine_.camera().faults().stall.on = true;
    run(200, 2);
    const ULONG crises = Debug_GetRecord()->crisisCount;
    EXPECT_GE(crises, 2u);
    machine_.camera().faults().stall.on = false;
    size_t before = taken_.size();
    size_t capturedBefore = captured_.size();
    run(1500, 2);
    EXPECT_EQ(Debug_GetRecord()->crisisCount, crises);
    EXPECT_EQ(dev()->xferConsecutiveCrises, 0u);
    EXPECT_EQ(machine_.camera().alternate(), 3);
    auto matched = matchReads(kYUY2);
    ASSERT_GT(matched.size(), before + 10);
    EXPECT_GE(matched[before], capturedBefore);
    EXPECT_FALSE(captured_[matched[before]].compressed);

    size_t from = machine_.camera().trace().entries().size();
    machine_.camera().faults().stall.on = true;
    run(8000, 2);
    EXPECT_EQ(Debug_GetRecord()->crisisCount, crises + 11);
    EXPECT_EQ(value("DebugCrisisCount"), crises + 11);
    // Reads waiting meanwhile get filler frames (problem 1).
    const DEBUG_RECORD *record = Debug_GetRecord();
    EXPECT_NE(std::find(record->problemList, record->problemList + record->problemCount,
                        DEBUG_PROBLEM_TRANSFER_GAVE_UP),
              record->problemList + record->problemCount);
    EXPECT_EQ(dev()->xferRunning, 0u);
    EXPECT_EQ(dev()->xferRequestsInFlight, 0);
    auto grabs = grabsSince(from);
    ASSERT_GT(grabs.size(), 10u);
    for (size_t i = grabs.size() - 8; i < grabs.size(); ++i) {
        EXPECT_GE(grabs[i] - grabs[i - 1], 500);
        EXPECT_LE(grabs[i] - grabs[i - 1], 610);
    }
    stop();
    machine_.camera().faults().stall.on = false;
    ASSERT_EQ(start(kYUY2, 352, 288), STATUS_SUCCESS);
    before = taken_.size();
    run(1000, 2);
    EXPECT_GT(taken_.size(), before + 5);
    stop();
}

// Damage on the wire: a failed request followed by good ones causes no crisis;
// lost packets and corrupt frames are counted and never reach a read.
TEST_F(TransportTest, DamagedPacketsAndFramesNeverReachARead)
{
    ASSERT_EQ(start(kRGB24, 352, 288), STATUS_SUCCESS);
    run(500, 2);
    auto &f = machine_.camera().faults();
    f.isoFail = {true, 1.0, 1};
    run(500, 2);
    EXPECT_EQ(dev()->xferFailedRequests, 1);
    EXPECT_EQ(Debug_GetRecord()->crisisCount, 0u);
    f.isoError = {true, 0.002, -1};
    f.corrupt = {true, 0.2, -1};
    for (auto kind : {zm4::emu::Corruption::lineLength, zm4::emu::Corruption::endOfLine,
                      zm4::emu::Corruption::endOfFrame, zm4::emu::Corruption::magic}) {
        f.corruption = kind;
        run(1500, 2);
    }
    EXPECT_GT(dev()->xferFailedPackets, 0);
    EXPECT_GT(machine_.camera().counters().packetsDamaged, 0u);
    auto matched = matchReads(kRGB24);
    EXPECT_GT(matched.size(), 20u);
    EXPECT_EQ(Debug_GetRecord()->crisisCount, 0u);
    stop();
}

// Stop with requests in flight and with a crisis queued: everything is freed
// and the queued crisis finds nothing to do.
TEST_F(TransportTest, StopWithRequestsOutOrACrisisQueuedFreesEverything)
{
    ASSERT_EQ(start(kI420, 176, 144), STATUS_SUCCESS);
    run(400, 1);
    EXPECT_EQ(dev()->xferRequestsInFlight, 8);
    stop();
    EXPECT_EQ(dev()->xferRequestsInFlight, 0);
    machine_.runFor(50 * zm4::host::kMillisecond);
    EXPECT_EQ(driverBlocks(), baseBlocks_);

    ASSERT_EQ(start(kI420, 176, 144), STATUS_SUCCESS);
    run(400, 1);
    machine_.camera().faults().stall.on = true;
    size_t from = machine_.camera().trace().entries().size();
    // The watchdog sees no good packet for 200 ms and queues the crisis.
    ASSERT_TRUE(machine_.runUntil([&] { return dev()->xferRunning == 0; }, zm4::host::kSecond));
    EXPECT_EQ(dev()->xferCrisisPending, 1u);
    EXPECT_EQ(dev()->xferRunning, 0u);
    stop();
    const ULONG crises = Debug_GetRecord()->crisisCount;
    machine_.runFor(1000 * zm4::host::kMillisecond);
    EXPECT_EQ(Debug_GetRecord()->crisisCount, crises + 1); // ran, found nothing pending
    EXPECT_EQ(dev()->xferRunning, 0u);
    EXPECT_EQ(machine_.camera().alternate(), 0);
    EXPECT_FALSE(machine_.camera().powered());
    EXPECT_EQ(grabsSince(from).size(), 0u);
    EXPECT_EQ(driverBlocks(), baseBlocks_);
}

// Real threads: completions, work items and the watchdog on their own threads;
// a crisis (failed requests) and a stop during another one.
class TransportStressTest : public TransportTest {
protected:
    TransportStressTest() : TransportTest(zm4::host::Clock::Real) {}
};

TEST_F(TransportStressTest, StreamCrisisAndStopOnRealThreads)
{
    ASSERT_EQ(start(kYUY2, 176, 144), STATUS_SUCCESS);
    run(600, 2);
    machine_.changeCamera([](zm4::emu::Camera &camera) { camera.faults().isoFail = {true, 1.0, 3}; });
    run(900, 2);
    machine_.changeCamera([](zm4::emu::Camera &camera) { camera.faults().stall.on = true; });
    run(300, 2);
    stop();
    machine_.changeCamera([](zm4::emu::Camera &camera) { camera.faults().stall.on = false; });
    machine_.runFor(600 * zm4::host::kMillisecond);
    EXPECT_EQ(dev()->xferRequestsInFlight, 0);
    EXPECT_GE(Debug_GetRecord()->crisisCount, 1u);
    // Real-time ticks come late on a busy machine and packets nobody polled are
    // lost, so how many frames arrive whole varies; none arrives damaged.
    matchReads(kYUY2);
    EXPECT_GT(dev()->xferCompletedRequests, 50);
    EXPECT_GT(machine_.camera().counters().framesUploaded, 5u);
    EXPECT_EQ(driverBlocks(), baseBlocks_);
}

} // namespace
