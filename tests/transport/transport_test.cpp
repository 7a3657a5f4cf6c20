// The video transport against the emulated camera, on the whole machine: frames
// streamed through the isochronous transfer, frame assembly and capture
// control to reads an application keeps waiting through the port, checked
// against what the camera says the host should show (re-encoded uncompressed
// and decoded afresh), the camera's command trace, the registry, the problem
// record and the pool.

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
#include "transport/frame.h"

namespace {

// Frames the reads got, in completion order.
std::vector<std::vector<uint8_t>> g_taken;

constexpr ULONG kRGB24 = 0, kRGB555 = 1, kI420 = 2, kYV12 = 3, kUYVY = 4, kYUY2 = 5;
using zm4::host::kMillisecond;

class TransportTest : public ::testing::Test {
protected:
    TransportTest() { g_taken.clear(); }

    void SetUp() override
    {
        setValue("Flicker", 0);
        setValue("AutoFR", 0);
        // What the host should show after each frame, and whether it came compressed.
        machine_.camera().setFrameObserver([this](const zm4::emu::CapturedFrame &f) {
            FrameHeaderInfo info;
            StreamErrorDetails details;
            compressed_.push_back(VerifyStreamBounded(f.bytes.data(), f.bytes.size(), &info, &details) == 0 &&
                                  info.compression != 0);
            captured_.push_back(*f.reference);
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

    DEVICE_EXTENSION *dev() { return static_cast<DEVICE_EXTENSION *>(machine_.adapter().deviceExtension()); }
    size_t driverBlocks() { return machine_.kernel().pool().liveBlocks(kPoolTagWdm); }
    void setValue(const char *name, uint32_t v)
    {
        machine_.registry().write(zm4::host::kDriverKeyPath, name, zm4::host::RegistryValue::dword(v));
    }
    uint32_t value(const char *name)
    {
        return *machine_.registry().read(zm4::host::kDriverKeyPath, name)->asDword();
    }

    // A stream opened and paused (the pipeline starts); the first read sets it
    // running, so that no read arrives in RUN before the first frame was
    // decoded and takes the empty decode buffer. stop() stops the pipeline and
    // closes the stream.
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
    // Reads that got a frame go to g_taken, in completion order.
    void harvest()
    {
        std::erase_if(reads_, [](const zm4::host::RequestPtr &read) {
            if (!read->completed())
                return false;
            if (read->status() == STATUS_SUCCESS && read->dataUsed() == read->data().size())
                g_taken.emplace_back(read->data().begin(), read->data().end());
            return true;
        });
    }
    // A read with a paced client's record (interval 0: as fast as frames come)
    // never takes a held frame directly: its frame is always one that capture
    // control sees delivered.
    void read(bool direct = true)
    {
        reads_.push_back(direct ? stream_->queueRead(stream_->frameBytes())
                                : stream_->queueRead(stream_->frameBytes(), 0));
        if (stream_->state() != KSSTATE_RUN)
            stream_->setState(KSSTATE_RUN);
    }

    // ms of time in 10-ms slices, the driver's own timer ticking the watchdogs,
    // keeping `reads` read requests waiting as an application would.
    void run(int64_t ms, size_t reads)
    {
        const int64_t end = machine_.scheduler().now() + ms * kMillisecond;
        while (machine_.scheduler().now() < end) {
            for (harvest(); stream_ && reads_.size() < reads; harvest())
                read();
            machine_.runFor(10 * kMillisecond);
        }
        harvest();
    }

    // What a read must hold for captured frame j: its reference image encoded
    // uncompressed, decoded afresh, doubled when upscaling.
    const std::vector<uint8_t> &expected(size_t j, ULONG format, bool upscale)
    {
        if (cache_.size() != captured_.size() || cacheFormat_ != format)
            cache_.assign(captured_.size(), {}), cacheFormat_ = format;
        const auto &ref = captured_[j];
        if (cache_[j].empty()) {
            zm4::emu::EncodeOptions options;
            options.videoSize = ref.width > 176;
            auto frame = zm4::emu::encodeFrame(ref, options);
            const ULONG bpp = StreamData_GetBitsPerPixel(0, format);
            cache_[j].resize(size_t{bpp} * ref.width * ref.height / 8 * (upscale ? 4 : 1));
            uint16_t state = 0;
            EXPECT_EQ(FormatStream(FormatToSupplyFourCC(StreamData_GetFourCC(0, format), uint16_t(bpp)),
                                   frame.bytes.data(), cache_[j].data(), ref.width, ref.height, &state),
                      0u);
            if (upscale)
                Resize_by_2_PolyPhase(cache_[j].data(), ref.height, ref.width);
        }
        return cache_[j];
    }

    // Every read taken holds the picture of a captured frame, in capture order;
    // returns the capture index each matched.
    std::vector<size_t> matchReads(ULONG format, bool upscale = false)
    {
        std::vector<size_t> matched;
        for (size_t j = 0; matched.size() < g_taken.size(); ++j) {
            if (j == captured_.size()) {
                ADD_FAILURE() << "read " << matched.size() << " matches no captured frame";
                break;
            }
            if (expected(j, format, upscale) == g_taken[matched.size()])
                matched.push_back(j--);
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
    std::vector<zm4::emu::Image422> captured_;
    std::vector<bool> compressed_;
    size_t baseBlocks_ = 0;
    std::vector<std::vector<uint8_t>> cache_;
    ULONG cacheFormat_ = ~0u;
};

// Every output format at every compression setting (1 off, 5 on, 10 on with
// decimation) and size (from the smallest through odd sizes to the doubled
// ones): every read gets the camera's picture, the first one from an
// uncompressed frame; one grab per frame; nothing per frame is allocated but
// the frame's worker record.
TEST_F(TransportTest, StreamsDeliverTheCamerasPictureAtEveryFormatSizeAndSetting)
{
    const struct {
        ULONG format;
        LONG width, height;
        uint32_t capValue;
        size_t minimum;
    } cases[] = {{kRGB24, 352, 288, 1, 10},  {kYUY2, 352, 288, 5, 25},  {kI420, 352, 288, 10, 25},
                 {kRGB555, 352, 288, 5, 25}, {kYV12, 352, 288, 1, 10},  {kUYVY, 352, 288, 10, 25},
                 {kI420, 8, 4, 5, 30},       {kRGB555, 8, 4, 1, 30},    {kUYVY, 168, 124, 1, 15},
                 {kYV12, 168, 124, 5, 30},   {kRGB24, 704, 576, 5, 20}, {kRGB24, 432, 328, 1, 10},
                 {kYUY2, 176, 144, 10, 30}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.format << " " << c.width << "x" << c.height << " " << c.capValue);
        setValue("CapValue", c.capValue);
        captured_.clear(), compressed_.clear(), g_taken.clear();
        size_t from = machine_.camera().trace().entries().size();
        const uint64_t uploaded = machine_.camera().counters().framesUploaded;
        ASSERT_EQ(start(c.format, c.width, c.height), STATUS_SUCCESS);
        EXPECT_EQ(dev()->xferRequestsInFlight, 8);
        run(c.width == 352 && c.capValue == 1 ? 3000 : 1500, 2); // uncompressed CIF comes slowest
        auto matched = matchReads(c.format, c.width > 352);
        EXPECT_GT(matched.size(), c.minimum);
        ASSERT_FALSE(matched.empty());
        EXPECT_EQ(g_taken.front().size(),
                  size_t(c.width) * c.height * StreamData_GetBitsPerPixel(0, c.format) / 8);
        EXPECT_FALSE(compressed_[matched.front()]);
        EXPECT_EQ(std::count(compressed_.begin(), compressed_.end(), true) > 0, c.capValue != 1);
        EXPECT_EQ(machine_.camera().decimation(), c.capValue == 10 && c.width == 352);
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
    machine_.runFor(50 * kMillisecond);
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
    machine_.runFor(10 * kMillisecond);
    setValue("CapValue", 5);
    ASSERT_EQ(start(kYUY2, 352, 288), STATUS_SUCCESS);
    run(500, 1);
    const uint64_t a1 = pool.allocationCount();
    const size_t t1 = trace.size();
    const uint64_t frames0 = machine_.camera().counters().framesUploaded;
    const size_t reads0 = g_taken.size();
    while (machine_.camera().counters().framesUploaded < frames0 + 300)
        run(100, 1);
    const uint64_t frames = machine_.camera().counters().framesUploaded - frames0;
    const uint64_t reads = g_taken.size() - reads0 + 1;
    const uint64_t transport = pool.allocationCount() - a1 - perCommand * (trace.size() - t1);
    EXPECT_GE(transport, worker * frames);
    EXPECT_LE(transport, worker * (frames + reads + 12) + 2 * reads);
    stop();
}

// The pace of reads chooses the mode, with (fast, slow) thresholds of (400,
// 600) ms without compression and (500, 1000) with it. 640 x 480 runs the
// camera at 320 x 240, on demand, and delivers doubled frames; the held frame
// is handed out once, and only at the exact size.
TEST_F(TransportTest, ReadPaceChoosesTheModeAndLargeOutputRunsOnDemand)
{
    // Reads every `gap` ms, then one after `last` ms; the stream starts on
    // demand (the previous delivery is long past).
    const struct {
        uint32_t capValue;
        int gap, last;
        ULONG onDemand;
    } paces[] = {{1, 300, 300, 0}, {1, 300, 700, 1}, {1, 500, 500, 1}, {5, 450, 800, 0}, {5, 800, 800, 1}};
    for (const auto &p : paces) {
        setValue("CapValue", p.capValue);
        run(1200, 0); // the previous case's last delivery long past
        ASSERT_EQ(start(kYUY2, 176, 144), STATUS_SUCCESS);
        for (int k = 0; k < 6; ++k) {
            run(k < 5 ? p.gap : p.last, 0);
            read(false);
        }
        run(300, 0);
        EXPECT_EQ(dev()->captureOnDemand, p.onDemand) << p.capValue << ": " << p.gap << ", " << p.last;
        stop();
    }
    captured_.clear(), compressed_.clear(), g_taken.clear();

    setValue("CapValue", 5);
    ASSERT_EQ(start(kRGB24, 640, 480), STATUS_SUCCESS);
    run(2000, 1);
    auto matched = matchReads(kRGB24, true);
    EXPECT_GT(matched.size(), 5u);
    EXPECT_EQ(captured_.back().width * captured_.back().height, 320 * 240);

    // Nobody reads: frames stop coming after the one outstanding grab.
    run(300, 0);
    size_t from = machine_.camera().trace().entries().size();
    run(1000, 0);
    EXPECT_TRUE(grabsSince(from).empty());
    EXPECT_EQ(dev()->captureOnDemand, 1u);
    std::vector<uint8_t> copy(640 * 480 * 3);
    EXPECT_EQ(Frame_BufferAvailable(dev(), copy.data(), 640 * 480 * 2), 0u);
    EXPECT_EQ(Frame_BufferAvailable(dev(), copy.data(), ULONG(copy.size())), 1u);
    EXPECT_EQ(expected(captured_.size() - 1, kRGB24, true), copy);
    EXPECT_EQ(Frame_BufferAvailable(dev(), copy.data(), ULONG(copy.size())), 0u);
    stop();
}

// A stall: the transfer recovers through crises (pipe reset, bandwidth from the
// registry, corrected to 3) while the grab is repeated every 500 ms; when
// packets return, frames flow again from an uncompressed one. A stall that
// lasts gives up after ten crises, until stop and start.
TEST_F(TransportTest, StallsAreRecoveredOrGivenUpAfterTenCrisesAndAQueuedCrisisYieldsToStop)
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
    size_t before = g_taken.size();
    run(1500, 2);
    EXPECT_EQ(Debug_GetRecord()->crisisCount, crises);
    EXPECT_EQ(dev()->xferConsecutiveCrises, 0u);
    EXPECT_EQ(machine_.camera().alternate(), 3);
    auto matched = matchReads(kYUY2);
    ASSERT_GT(matched.size(), before + 10);
    EXPECT_FALSE(compressed_[matched[before]]);

    size_t from = machine_.camera().trace().entries().size();
    machine_.camera().faults().stall.on = true;
    run(8000, 2);
    EXPECT_EQ(Debug_GetRecord()->crisisCount, crises + 11);
    EXPECT_EQ(value("DebugCrisisCount"), crises + 11);
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
    run(1000, 2); // frames again: the recovery test's

    // Stopped with a crisis queued by the watchdog (no good packet for 200 ms):
    // the crisis runs later, finds nothing pending and submits nothing.
    machine_.camera().faults().stall.on = true;
    ASSERT_TRUE(machine_.runUntil([&] { return dev()->xferRunning == 0; }, zm4::host::kSecond));
    EXPECT_EQ(dev()->xferCrisisPending, 1u);
    const ULONG queued = Debug_GetRecord()->crisisCount;
    stop();
    machine_.runFor(1000 * kMillisecond);
    EXPECT_EQ(Debug_GetRecord()->crisisCount, queued + 1);
    EXPECT_EQ(dev()->xferRunning, 0u);
    EXPECT_EQ(machine_.camera().alternate(), 0);
    EXPECT_EQ(driverBlocks(), baseBlocks_);
}

// A failed request followed by good ones causes no crisis; a camera that
// refuses every streaming setting fails the start. (Lost packets and corrupt
// frames never reaching a read is the recovery test's, for every kind.)
TEST_F(TransportTest, OneFailedRequestCausesNoCrisisAndRefusedSettingsFailTheStart)
{
    ASSERT_EQ(start(kRGB24, 352, 288), STATUS_SUCCESS);
    run(500, 2);
    auto &f = machine_.camera().faults();
    f.isoFail = {true, 1.0, 1};
    run(500, 2);
    EXPECT_EQ(dev()->xferFailedRequests, 1);
    EXPECT_EQ(Debug_GetRecord()->crisisCount, 0u);
    matchReads(kRGB24); // every frame taken is a captured one
    stop();

    // A camera that refuses every streaming setting: the start fails with the
    // selection's status, submits nothing and grabs nothing.
    f.refusedAlternates = 0x0E;
    const size_t from = machine_.camera().trace().entries().size();
    EXPECT_EQ(start(kRGB24, 352, 288), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(dev()->xferRequestsInFlight, 0);
    EXPECT_TRUE(grabsSince(from).empty());
    stop();
}

} // namespace
