// The whole frame path, from the camera's isochronous packets to decoded frames
// taken by reads: a CIF stream at the camera's 30 frames per second, compressed
// as the camera sends it by default, run in simulated time against the
// emulated camera. Only the driver's own work is timed: the isochronous
// completion routine and the frame and request work items are wrapped at link
// time (-Wl,--wrap) and the thread CPU time spent inside them is summed, so the
// emulator's rendering and encoding and the bus model do not count. Camera
// commands issued from the work items (update, grab) are the driver's and do
// count, with the emulator's answer to them.
//
// Reported per output format: CPU time per frame and the share of one core at
// the frames per second actually delivered.
#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "driver/device_extension.h"
#include "driver/entry.h"
#include "driver/stream.h"
#include "tests/support/camera_rig.h"
#include "transport/frame.h"

// The linker sends the driver's references to these to the wrappers below.
NTSTATUS __real__Z17Entry_USBCallbackP13DEVICE_OBJECTP3IRPPv(DEVICE_OBJECT *, IRP *, PVOID) __asm__(
    "__real__Z17Entry_USBCallbackP13DEVICE_OBJECTP3IRPPv");
void __real__Z24Entry_FrameDataAvailablePv(PVOID) __asm__("__real__Z24Entry_FrameDataAvailablePv");
void __real__Z18Entry_FrameRequestPv(PVOID) __asm__("__real__Z18Entry_FrameRequestPv");

namespace {

// Thread CPU time inside the driver; nested entries (a completion run while a
// work item waits for a camera command) are counted once, in the outer one.
int64_t g_driverNs = 0;
int g_depth = 0;

int64_t threadCpuNs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

template <class F> auto timed(F &&f)
{
    const int64_t start = g_depth++ == 0 ? threadCpuNs() : 0;
    struct Leave {
        int64_t start;
        ~Leave()
        {
            if (--g_depth == 0)
                g_driverNs += threadCpuNs() - start;
        }
    } leave{start};
    return f();
}

// The reads an application keeps waiting.
int g_waiting = 0;
uint64_t g_delivered = 0;

} // namespace

NTSTATUS __wrap__Z17Entry_USBCallbackP13DEVICE_OBJECTP3IRPPv(
    DEVICE_OBJECT *d, IRP *irp, PVOID context) __asm__("__wrap__Z17Entry_USBCallbackP13DEVICE_OBJECTP3IRPPv");
NTSTATUS __wrap__Z17Entry_USBCallbackP13DEVICE_OBJECTP3IRPPv(DEVICE_OBJECT *d, IRP *irp, PVOID context)
{
    return timed([&] { return __real__Z17Entry_USBCallbackP13DEVICE_OBJECTP3IRPPv(d, irp, context); });
}
void __wrap__Z24Entry_FrameDataAvailablePv(PVOID p) __asm__("__wrap__Z24Entry_FrameDataAvailablePv");
void __wrap__Z24Entry_FrameDataAvailablePv(PVOID p)
{
    timed([&] {
        __real__Z24Entry_FrameDataAvailablePv(p);
        return 0;
    });
}
void __wrap__Z18Entry_FrameRequestPv(PVOID p) __asm__("__wrap__Z18Entry_FrameRequestPv");
void __wrap__Z18Entry_FrameRequestPv(PVOID p)
{
    timed([&] {
        __real__Z18Entry_FrameRequestPv(p);
        return 0;
    });
}

// The video stream's side: a frame offered while a read waits is copied out,
// as the stream copies it into the application's buffer.
ULONG Stream_FrameAvailable(DEVICE_EXTENSION *, PVOID image, ULONG size)
{
    static std::vector<uint8_t> application;
    if (g_waiting == 0 || image == nullptr)
        return 0;
    application.resize(size);
    std::memcpy(application.data(), image, size);
    --g_waiting;
    ++g_delivered;
    return 1;
}

ULONG Stream_RequestsQueued(DEVICE_EXTENSION *)
{
    return g_waiting > 0;
}

namespace {

void BM_FramePath(benchmark::State &state)
{
    const auto format = static_cast<ULONG>(state.range(0));
    zm4::testing::CameraRig rig;
    rig.registry().write(zm4::host::kDriverKeyPath, "Flicker", zm4::host::RegistryValue::dword(0));
    DEVICE_EXTENSION *dev = rig.device();
    Frame_Initialise(dev);
    if (Frame_Start(dev, format, 352, 288) != STATUS_SUCCESS) {
        state.SkipWithError("stream did not start");
        return;
    }
    auto second = [&] {
        for (int slice = 0; slice < 100; ++slice) {
            while (g_waiting < 2) {
                ++g_waiting;
                Frame_Request(dev);
            }
            rig.runFor(10);
            if (slice % 10 == 9) {
                ++dev->tickCount;
                Frame_WatchdogTimer(dev, Entry_GetDriverTime(dev));
            }
        }
    };
    second(); // settle: the first frames are uncompressed

    g_driverNs = 0;
    g_delivered = 0;
    int64_t seconds = 0;
    for (auto _ : state) {
        const int64_t before = g_driverNs;
        second();
        ++seconds;
        state.SetIterationTime(double(g_driverNs - before) * 1e-9);
    }
    const double frames = double(g_delivered);
    state.counters["fps"] = frames / double(seconds);
    state.counters["cpu_us_per_frame"] = frames > 0 ? double(g_driverNs) / 1000.0 / frames : 0.0;
    state.counters["core_share_pct"] = double(g_driverNs) * 1e-9 / double(seconds) * 100.0;
    state.SetItemsProcessed(int64_t(frames));

    Frame_Stop(dev);
    Frame_Terminate(dev);
    rig.runFor(50);
}

} // namespace

// Output formats: 0 RGB24, 2 I420, 5 YUY2.
BENCHMARK(BM_FramePath)
    ->Arg(0)
    ->Arg(2)
    ->Arg(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK_MAIN();
