// The whole driver at work, as a capture application sees it through the port:
// a stream opened in a format, run, with two reads kept waiting, in simulated
// time against the emulated camera at its 30 frames per second. Only the
// driver's own work is timed: the entry points through which the bus, the
// work queue and the port reach it (isochronous completion, frame and request
// work items, the filler, reads arriving) are wrapped at link time
// (-Wl,--wrap) and the thread CPU time spent inside them is summed, so the
// emulator's rendering and encoding and the bus model do not count. Camera
// commands the driver sends from its work items do count, with the
// emulator's answer to them.
//
// Reported per format and size: CPU time per delivered frame, frames per
// second, and the share of one core at that rate.
#include <benchmark/benchmark.h>

#include <ctime>
#include <memory>
#include <vector>

#include "driver/stream_data.h"
#include "platform/port/machine.h"

namespace {

// Thread CPU time inside the driver; nested entries (a completion run while a
// work item waits for a camera command) count once, in the outer one.
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

} // namespace

// The linker sends the driver's references to these entry points to the
// wrappers below; __real_ is the driver's own.
#define ZM4_WRAP_WORKER(mangled)                                                                             \
    extern "C" void __real_##mangled(PVOID);                                                                 \
    extern "C" void __wrap_##mangled(PVOID p)                                                                \
    {                                                                                                        \
        timed([&] {                                                                                          \
            __real_##mangled(p);                                                                             \
            return 0;                                                                                        \
        });                                                                                                  \
    }

ZM4_WRAP_WORKER(_Z24Entry_FrameDataAvailablePv)
ZM4_WRAP_WORKER(_Z18Entry_FrameRequestPv)
ZM4_WRAP_WORKER(_Z20Entry_TransferCrisisPv)
ZM4_WRAP_WORKER(_Z18Entry_CaptureRetryPv)
ZM4_WRAP_WORKER(_Z19Entry_CaptureAutoFRPv)
ZM4_WRAP_WORKER(_Z22Entry_CameraBackgroundPv)
ZM4_WRAP_WORKER(_Z22Entry_StreamEmptyFramePv)

extern "C" NTSTATUS __real__Z17Entry_USBCallbackP13DEVICE_OBJECTP3IRPPv(DEVICE_OBJECT *, IRP *, PVOID);
extern "C" NTSTATUS __wrap__Z17Entry_USBCallbackP13DEVICE_OBJECTP3IRPPv(DEVICE_OBJECT *d, IRP *irp, PVOID c)
{
    return timed([&] { return __real__Z17Entry_USBCallbackP13DEVICE_OBJECTP3IRPPv(d, irp, c); });
}

extern "C" void __real__Z26Entry_ReceiveStreamDataSRBP24_HW_STREAM_REQUEST_BLOCK(HW_STREAM_REQUEST_BLOCK *);
extern "C" void __wrap__Z26Entry_ReceiveStreamDataSRBP24_HW_STREAM_REQUEST_BLOCK(HW_STREAM_REQUEST_BLOCK *srb)
{
    timed([&] {
        __real__Z26Entry_ReceiveStreamDataSRBP24_HW_STREAM_REQUEST_BLOCK(srb);
        return 0;
    });
}

namespace {

void BM_Capture(benchmark::State &state)
{
    const auto format = static_cast<ULONG>(state.range(0));
    const auto width = static_cast<LONG>(state.range(1));
    const LONG height = width * 9 / 11; // 176 x 144, 352 x 288, 704 x 576
    auto machine = std::make_unique<zm4::host::Machine>();
    machine->registry().write(zm4::host::kDriverKeyPath, "Flicker", zm4::host::RegistryValue::dword(0));
    NTSTATUS status = STATUS_PENDING;
    std::unique_ptr<zm4::host::Stream> stream =
        machine->adapter().openVideoStream(format, width, height, &status);
    if (!stream || stream->setState(KSSTATE_PAUSE) != STATUS_SUCCESS) {
        state.SkipWithError("the stream did not start");
        return;
    }
    std::vector<std::vector<uint8_t>> buffers(2, std::vector<uint8_t>(stream->frameBytes()));
    zm4::host::RequestPtr reads[2] = {stream->queueRead(buffers[0]), stream->queueRead(buffers[1])};
    stream->setState(KSSTATE_RUN);
    uint64_t delivered = 0;
    uint64_t failed = 0;
    // One second of camera time, with the reads kept waiting.
    auto second = [&] {
        const int64_t end = machine->scheduler().now() + zm4::host::kSecond;
        for (size_t next = 0;; next ^= 1) {
            if (!machine->runUntil([&] { return reads[next]->completed(); },
                                   end - machine->scheduler().now()))
                return;
            ++delivered;
            failed += reads[next]->status() != STATUS_SUCCESS ? 1 : 0;
            reads[next] = stream->queueRead(buffers[next]);
        }
    };
    second(); // settle: the first frames are uncompressed

    g_driverNs = 0;
    delivered = 0;
    int64_t seconds = 0;
    for (auto _ : state) {
        const int64_t before = g_driverNs;
        second();
        ++seconds;
        state.SetIterationTime(double(g_driverNs - before) * 1e-9);
    }
    if (failed != 0)
        state.SkipWithError("a read got no frame");
    const double frames = double(delivered);
    state.counters["fps"] = frames / double(seconds);
    state.counters["cpu_us_per_frame"] = frames > 0 ? double(g_driverNs) / 1000.0 / frames : 0.0;
    state.counters["core_share_pct"] = double(g_driverNs) * 1e-9 / double(seconds) * 100.0;
    state.SetItemsProcessed(int64_t(frames));
    stream->close();
}

} // namespace

// Every output format at CIF, QCIF in YUY2, and the doubled 704 x 576 RGB24.
BENCHMARK(BM_Capture)
    ->ArgNames({"format", "width"})
    ->Args({STREAM_FORMAT_RGB24, 352})
    ->Args({STREAM_FORMAT_RGB555, 352})
    ->Args({STREAM_FORMAT_I420, 352})
    ->Args({STREAM_FORMAT_YV12, 352})
    ->Args({STREAM_FORMAT_UYVY, 352})
    ->Args({STREAM_FORMAT_YUY2, 352})
    ->Args({STREAM_FORMAT_YUY2, 176})
    ->Args({STREAM_FORMAT_RGB24, 704})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK_MAIN();
