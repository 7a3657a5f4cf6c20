// The capture path under faults and surprise removal, on the whole simulated
// machine driven through the port: every camera fault against every phase of
// a device's life, and the camera pulled out at 500 moments. Every frame a read
// gets is a picture the camera sent (its own record of what the host should
// show; YUY2 is its 4:2:2 order), every request ends once (the port checks),
// nothing stays in the pool, and the next device works.
#include <algorithm>
#include <array>
#include <functional>
#include <string>

#include "driver/debug.h"
#include "driver/stream_data.h"
#include "port_env.h"
#include "settings/propman.h"

using zm4::host::kMillisecond;
using zm4::host::RequestPtr;

namespace {

// A device's life: initialise, start, run (streaming), set a property, stop.
enum Phase { kInit, kStart, kRun, kSet, kStop, kPhases };

// What a user sees of a life with a fault on during one phase: the first
// PAUSE succeeded; frames came while the fault was on; frames that left the
// camera meanwhile reached no read; frames came after it went off in the same
// run (kStop: in the next); a transfer crisis; the problems recorded; frames
// came after a stop and start without a new device; the driver checks the
// camera's status after its commands ("ZIRCCamera").
using Outcome = std::array<ULONG, 8>;

class RecoveryTest : public MachineTest {
protected:
    void TearDown() override
    {
        unplugDevice();
        MachineTest::TearDown();
    }

    // A camera fresh from the box on the bus, with faults, a new device for it
    // and a stream opened.
    void plugIn(const std::string &faults = "")
    {
        unplugDevice();
        machine().changeCamera([this](zm4::emu::Camera &camera) {
            camera = zm4::emu::Camera(camera.options());
            camera.setFrameObserver(
                [this](const zm4::emu::CapturedFrame &f) { sent_.push_back(f.reference->data); });
        });
        sent_.clear(), matched_ = 0, problems_ = 0;
        setFaults(faults);
        adapter_ = machine().port().addDevice(machine().bus().physicalDeviceObject());
        NTSTATUS status = STATUS_PENDING;
        stream_ = adapter_->openVideoStream(STREAM_FORMAT_YUY2, 176, 144, &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
    }
    void unplugDevice()
    {
        if (stream_)
            stream_->close();
        harvest();
        reads_.clear(), stream_.reset(), adapter_.reset();
        machine().removeDevice();
        EXPECT_EQ(pool().liveBlocks(kWdmTag), 0u) << pool().leakReport();
        EXPECT_EQ(pool().liveBlocks(zm4::host::kPortPoolTag), 0u) << pool().leakReport();
    }
    void setFaults(const std::string &spec)
    {
        zm4::emu::Faults faults;
        EXPECT_TRUE(zm4::emu::parseFaults(spec, faults, nullptr)) << spec;
        machine().changeCamera([&](zm4::emu::Camera &camera) { camera.setFaults(faults); });
    }

    // The first reads wait from PAUSE on, as a capture graph's do; until the
    // first frame of a run a read may take the held start picture: black.
    NTSTATUS start()
    {
        const NTSTATUS status = stream_->setState(KSSTATE_PAUSE);
        blankAllowed_ = true;
        pump(0);
        stream_->setState(KSSTATE_RUN);
        return status;
    }
    // Runs for ms with two reads waiting. Every frame a read took is one the
    // camera sent, none older than the last; other reads end empty or filled.
    void pump(int64_t ms)
    {
        const int64_t end = scheduler().now() + ms * kMillisecond;
        do {
            while (stream_->state() != KSSTATE_STOP && reads_.size() < 2)
                reads_.push_back(stream_->queueRead(stream_->frameBytes()));
            machine().runFor(std::min(10 * kMillisecond, end - scheduler().now()));
            harvest();
        } while (scheduler().now() < end);
    }
    void harvest()
    {
        problems_ |= Debug_GetRecord()->problemBits;
        std::erase_if(reads_, [this](const RequestPtr &read) { return harvest(*read); });
    }
    bool harvest(const zm4::host::Request &read)
    {
        const auto data = read.data();
        if (read.completed() && read.status() == STATUS_SUCCESS && read.dataUsed() == data.size()) {
            const auto it = std::find_if(sent_.begin() + static_cast<ptrdiff_t>(matched_), sent_.end(),
                                         [&](const auto &image) { return std::ranges::equal(image, data); });
            const bool black =
                std::ranges::all_of(data, [i = 0](uint8_t b) mutable { return b == (i++ % 2 ? 128 : 16); });
            EXPECT_TRUE(it != sent_.end() || (blankAllowed_ && black))
                << "frame " << delivered_ << " is no picture the camera sent";
            if (it != sent_.end())
                matched_ = static_cast<size_t>(it - sent_.begin()), ++delivered_, blankAllowed_ = false;
        } else if (read.completed() && read.dataUsed() != 0) {
            EXPECT_EQ(read.status(), STATUS_TIMEOUT);
            EXPECT_TRUE(std::ranges::all_of(data, [](uint8_t b) { return b == 255; })) << "a filler";
        }
        return read.completed();
    }
    // Manual exposure applied at once: a write with a data stage.
    void setExposure()
    {
        adapter_->setProperty(PROPSETID_LUMPROP, PROPMAN_LUM_EXP_COARSE, 120,
                              PROPMAN_FLAG_MANUAL | PROPMAN_FLAG_APPLY);
    }

    // One life with the fault on during `phase`, then a stop and a start.
    Outcome live(const std::string &faults, int phase)
    {
        Outcome out{};
        size_t off = 0;
        const ULONG crises = Debug_GetRecord()->crisisCount;
        const std::function<void()> steps[] = {[&] { plugIn(phase == kInit ? faults : ""); },
                                               [&] { out[0] = start() == STATUS_SUCCESS, pump(500); },
                                               [&] { pump(800); }, [&] { setExposure(); },
                                               [&] { stream_->stop(); }};
        for (int p = kInit; p < kPhases; ++p) {
            if (p == phase && p != kInit)
                setFaults(faults);
            const size_t before = delivered_;
            const uint64_t uploaded = machine().camera().counters().framesUploaded;
            steps[p]();
            if (p != phase)
                continue;
            out[1] = delivered_ > before;
            out[2] = p != kInit &&
                     machine().camera().counters().framesUploaded - uploaded > delivered_ - before + 1;
            setFaults("");
            off = delivered_;
            if (p != kStop && p != kInit)
                pump(1000);
        }
        out[3] = delivered_ > off;
        out[4] = Debug_GetRecord()->crisisCount > crises;
        const size_t before = delivered_;
        start(), pump(600);
        out[5] = problems_;
        out[6] = delivered_ > before;
        out[3] |= phase == kStop && out[6];
        out[7] = stored("ZIRCCamera")->asDword() == 1u;
        stream_->stop();
        return out;
    }

    std::unique_ptr<zm4::host::Adapter> adapter_;
    std::unique_ptr<zm4::host::Stream> stream_;
    std::vector<RequestPtr> reads_;
    std::vector<std::vector<uint8_t>> sent_;
    size_t matched_ = 0, delivered_ = 0;
    bool blankAllowed_ = false;
    ULONG problems_ = 0;
};

constexpr ULONG kFill = DEBUG_PROBLEM_FILLER_FRAME, kGiveUp = DEBUG_PROBLEM_TRANSFER_GAVE_UP,
                kRefuse = DEBUG_PROBLEM_LINK_REFUSED, kHalt = DEBUG_PROBLEM_CAMERA_FAULT;

// Every fault switch against every phase. The table lists the cells where the
// fault shows; every other cell ends as with no fault at all. A link that
// failed more than ten times in a row refuses until a new device; a halted
// write latches until the next start; ten crises give up until the next start;
// a lost or damaged frame costs the frames up to the next uncompressed one; a
// camera gone at initialise leaves a device that never streams.
TEST_F(RecoveryTest, EveryFaultInEveryPhaseRecoversAsDesignedAndNoDamagedFrameReachesARead)
{
    // The outcome's flags in order, the problems (its sixth entry) apart.
    struct Cell {
        const char *faults;
        int phase;
        const char *flags;
        ULONG problems;
    };
    // clang-format off
    const Cell shows[] = {
        {"noanswer", kInit, "10010 10", 0}, {"noanswer", kStart, "00000 01", kRefuse},
        {"noanswer", kRun, "11000 01", kRefuse}, {"noanswer", kSet, "10010 01", kRefuse},
        {"noanswer", kStop, "10000 01", kRefuse}, {"ctrlfail", kInit, "10010 10", 0},
        {"ctrlfail", kStart, "00000 01", kRefuse}, {"ctrlfail", kRun, "11000 01", kRefuse},
        {"ctrlfail", kSet, "10010 01", kRefuse}, {"ctrlfail", kStop, "10000 01", kRefuse},
        {"halt-on-write", kStart, "00000 11", kHalt}, {"halt-on-write", kRun, "11000 11", kHalt},
        {"halt-on-write", kSet, "10010 11", kHalt}, {"status-error", kInit, "00010 11", 0},
        {"status-error", kStart, "00010 11", 0}, {"isoerror=0.02", kStart, "11110 11", 0},
        {"isoerror=0.02", kRun, "11110 11", 0}, {"isofail", kStart, "10001 11", kGiveUp},
        {"isofail", kRun, "10101 11", kGiveUp}, {"stall", kStart, "10011 11", 0}, {"stall", kRun, "10001 11", kGiveUp},
        {"corrupt=linelength", kStart, "10110 11", 0}, {"corrupt=linelength", kRun, "10110 11", 0},
        {"corrupt=eol", kStart, "10110 11", 0}, {"corrupt=eol", kRun, "10110 11", 0},
        {"corrupt=eof", kStart, "10010 11", 0}, {"corrupt=eof", kRun, "10110 11", 0},
        {"refuse-alt=1;refuse-alt=2;refuse-alt=3", kStart, "00000 11", 0}, {"slowctrl", kInit, "10010 10", 0},
        {"slowctrl", kStart, "00000 01", kRefuse}, {"slowctrl", kRun, "11010 11", kFill},
        {"slowctrl", kSet, "10010 01", kFill | kRefuse}, {"slowctrl", kStop, "10000 01", kRefuse},
        {"disconnect", kInit, "00000 00", 0}, {"disconnect", kStart, "00000 11", 0},
        {"disconnect", kRun, "10001 01", kRefuse}, {"disconnect", kSet, "10010 01", kRefuse},
        {"disconnect", kStop, "10000 01", kRefuse}, {"isodrop=0.02", kStart, "11110 11", 0},
        {"isodrop=0.02", kRun, "11110 11", 0}, {"isoshort=0.02", kStart, "11110 11", 0},
        {"isoshort=0.02", kRun, "11110 11", 0}, {"version", kInit, "10010 10", 0},
    };
    // clang-format on
    for (const char *faults : {"noanswer", "ctrlfail", "halt-on-write", "status-error", "isoerror=0.02",
                               "isofail", "stall", "corrupt=linelength", "corrupt=eol", "corrupt=eof",
                               "corrupt=magic", "refuse-alt=3", "refuse-alt=1;refuse-alt=2;refuse-alt=3",
                               "slowctrl", "disconnect", "isodrop=0.02", "isoshort=0.02", "version"}) {
        for (int p = kInit; p < kPhases; ++p) {
            SCOPED_TRACE(testing::Message() << faults << " in phase " << p);
            Outcome expected{1, p == kStart || p == kRun, 0, 1, 0, 0, 1, 1};
            for (const Cell &cell : shows)
                for (size_t i = 0; cell.faults == std::string(faults) && cell.phase == p && i < 8; ++i)
                    expected[i] = i == 5 ? cell.problems : ULONG(cell.flags[i] - '0');
            EXPECT_EQ(live(faults, p), expected);
        }
    }
}

// The camera pulled out at 500 moments or more, one device after another on
// one machine: after each request it answers in initialise, start, streaming
// (grabs from frame work items), a crisis (a stalled pipe), a property set and
// a stop, and every 6 ms of streaming and of a crisis. Every read ends once,
// nothing stays in the pool, and the device plugged in next streams.
TEST_F(RecoveryTest, UnpluggedAt500MomentsEveryReadEndsOnceNothingLeaksAndTheNextDeviceStreams)
{
    enum Stage { kAtInit, kAtStart, kAtFrame, kAtCrisis, kAtSet, kAtStop, kInRun, kInCrisis, kNone };
    // One life unplugged in `stage` after `at` requests (kIn*: at ms); whether
    // the camera left within that stage.
    auto life = [&](Stage stage, int64_t at) {
        bool left = false;
        auto arm = [&](Stage s) {
            if (s == stage && s >= kInRun)
                scheduler().postAfter(at * kMillisecond,
                                      [this] { machine().camera().faults().disconnect = true; });
            else if (s == stage)
                machine().changeCamera([&](zm4::emu::Camera &c) { c.faults().disconnectAfter = at; });
        };
        auto disarm = [&](Stage s) {
            machine().changeCamera([&](zm4::emu::Camera &c) {
                left |= s == stage && !c.connected();
                c.faults().disconnectAfter = s == stage ? -1 : c.faults().disconnectAfter;
            });
        };
        auto stall = [&](bool on) {
            machine().changeCamera([on](zm4::emu::Camera &c) { c.faults().stall.on = on; });
        };
        plugIn(stage == kAtInit ? "disconnect:after=" + std::to_string(at) : "");
        disarm(kAtInit);
        arm(kAtStart), start(), disarm(kAtStart);
        const size_t before = delivered_;
        arm(kAtFrame), arm(kInRun), pump(300), disarm(kAtFrame);
        EXPECT_TRUE(stage < kAtCrisis || stage == kInRun || delivered_ > before) << "the next device streams";
        stall(true), arm(kAtCrisis), arm(kInCrisis), pump(300), disarm(kAtCrisis), stall(false);
        arm(kAtSet), setExposure(), disarm(kAtSet);
        arm(kAtStop), stream_->stop(), disarm(kAtStop);
        unplugDevice();
        return left;
    };
    int moments = 0;
    std::string covered;
    for (Stage stage : {kAtInit, kAtStart, kAtFrame, kAtCrisis, kAtSet, kAtStop}) {
        int64_t at = 0;
        while (life(stage, at))
            ++at;
        moments += static_cast<int>(at);
        covered += std::to_string(at) + " ";
    }
    for (int64_t at = 0; at < 300; at += 6, moments += 2)
        life(kInRun, at), life(kInCrisis, at);
    life(kNone, 0);
    RecordProperty("requests", covered);
    EXPECT_GE(moments, 500);
}

} // namespace
