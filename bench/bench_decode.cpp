// Decoder benchmarks: frame verification and decoding into every output
// format (fast paths and the plain reference paths, so the gain shows), the
// double-size resize, and, when libyuv is installed, its nearest same-size
// conversions timed in the same run for comparison. A summary at the end
// (or alone with --summary) times the decoder's targets beside libyuv and
// memcpy in thread CPU time and prints each ratio.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "decode/decode_options.h"
#include "decode/resize.h"
#include "decode/zm4decode.h"
#include "emulator/frame_encoder.h"

#ifdef ZM4_HAVE_LIBYUV
#include <libyuv.h>
#include <libyuv/scale_rgb.h>
#endif

namespace {

using zm4::emu::EncodedFrame;
using zm4::emu::EncodeOptions;
using zm4::emu::Image422;

// A smooth picture with detail, like a specimen under the microscope.
Image422 scene(uint32_t width, uint32_t height, uint32_t shift)
{
    Image422 image(width, height);
    for (uint32_t r = 0; r < height; ++r) {
        for (uint32_t p = 0; p < width / 2; ++p) {
            uint8_t *pair = image.row(r) + 4 * p;
            uint32_t x = 2 * p + shift, y = r + shift / 2;
            // Even, as the camera sends a pair's first byte in compressed
            // frames: otherwise every pair with an odd one would differ from
            // the uncompressed frame's picture and be sent again.
            pair[0] = static_cast<uint8_t>((40 + (x * 3 + y * 5) % 180) & 0xFE);
            pair[1] = static_cast<uint8_t>(90 + (x / 4 + y / 3) % 70);
            pair[2] = static_cast<uint8_t>(40 + (x * 3 + 3 + y * 5) % 180);
            pair[3] = static_cast<uint8_t>(100 + (x / 5 + y / 2) % 60);
        }
    }
    return image;
}

struct Stream {
    Image422 source;
    EncodedFrame uncompressed;
    EncodedFrame compressed; // a third of the picture changed since `uncompressed`
};

const Stream &stream(uint32_t width)
{
    static Stream small, large;
    Stream &s = width == 352 ? large : small;
    if (s.source.width == 0) {
        const uint32_t height = width == 352 ? 288 : 144;
        s.source = scene(width, height, 0);
        s.uncompressed = zm4::emu::encodeFrame(s.source, EncodeOptions{});
        Image422 next = s.source;
        Image422 moved = scene(width, height, 3);
        std::copy(moved.data.begin(), moved.data.begin() + static_cast<std::ptrdiff_t>(moved.data.size() / 3),
                  next.data.begin());
        EncodeOptions options;
        options.compression = true;
        options.previous = &s.uncompressed.reference;
        s.compressed = zm4::emu::encodeFrame(next, options);
    }
    return s;
}

size_t outputBytes(uint32_t code, uint32_t w, uint32_t h)
{
    return Decode_ImageBytes(code, w, h);
}

// Arguments: width (352 or 176), compressed (0/1).
void BM_VerifyStream(benchmark::State &state)
{
    const uint32_t width = static_cast<uint32_t>(state.range(0));
    const EncodedFrame &frame = state.range(1) ? stream(width).compressed : stream(width).uncompressed;
    FrameHeaderInfo info{};
    StreamErrorDetails details{};
    for (auto _ : state) {
        uint32_t status = VerifyStream(frame.bytes.data(), &info, &details);
        benchmark::DoNotOptimize(status);
    }
    // Frames per second only: verification reads each line's length and last
    // byte, not the whole frame, so a byte rate would mislead.
    state.SetItemsProcessed(state.iterations());
    state.counters["frame_bytes"] = static_cast<double>(frame.bytes.size());
}

// Arguments: format code, width, compressed, reference path, no MMX.
void BM_FormatStream(benchmark::State &state)
{
    const uint32_t code = static_cast<uint32_t>(state.range(0));
    const uint32_t width = static_cast<uint32_t>(state.range(1));
    const uint32_t height = width == 352 ? 288 : 144;
    const Stream &s = stream(width);
    Decode_ForceReferencePath(static_cast<uint32_t>(state.range(3)));
    Decode_ForceNoMmx(static_cast<uint32_t>(state.range(4)));
    InitDecode();
    std::vector<uint8_t> output(std::max<size_t>(outputBytes(code, width, height), 1));
    uint16_t decimationState = 0;
    // A compressed frame updates the picture the uncompressed one left.
    uint32_t status =
        FormatStream(code, s.uncompressed.bytes.data(), output.data(), width, height, &decimationState);
    const EncodedFrame &frame = state.range(2) ? s.compressed : s.uncompressed;
    for (auto _ : state) {
        status |= FormatStream(code, frame.bytes.data(), output.data(), width, height, &decimationState);
        benchmark::ClobberMemory();
    }
    FiniDecode();
    Decode_ForceReferencePath(0);
    Decode_ForceNoMmx(0);
    if (status != ZM4_FRAME_OK)
        state.SkipWithError("FormatStream failed");
    state.SetItemsProcessed(state.iterations());
    if (code != ZM4_FORMAT_NONE)
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * outputBytes(code, width, height)));
}

// The driver's 704x576 RGB24 path: decode at 352x288, then double in place.
// Argument: 1 to include the decode, 0 for the resize alone.
void BM_Resize704x576(benchmark::State &state)
{
    const Stream &s = stream(352);
    InitDecode();
    std::vector<uint8_t> half(352u * 288 * 3);
    std::vector<uint8_t> big(half.size() * 4);
    uint16_t decimationState = 0;
    uint32_t status =
        FormatStream(ZM4_FORMAT_RGB24, s.uncompressed.bytes.data(), half.data(), 352, 288, &decimationState);
    for (auto _ : state) {
        if (state.range(0))
            status |= FormatStream(ZM4_FORMAT_RGB24, s.uncompressed.bytes.data(), half.data(), 352, 288,
                                   &decimationState);
        std::memcpy(big.data(), half.data(), half.size());
        Resize_by_2_PolyPhase(big.data(), 288, 352);
        benchmark::ClobberMemory();
    }
    FiniDecode();
    if (status != ZM4_FRAME_OK)
        state.SkipWithError("FormatStream failed");
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * big.size()));
}

void formatArgs(benchmark::internal::Benchmark *b)
{
    b->ArgNames({"fmt", "w", "comp", "ref", "nommx"});
    for (int width : {352, 176})
        for (int compressed : {0, 1}) {
            for (int code : {ZM4_FORMAT_NONE, ZM4_FORMAT_RGB24, ZM4_FORMAT_RGB32, ZM4_FORMAT_RGB16,
                             ZM4_FORMAT_I420, ZM4_FORMAT_YV12, ZM4_FORMAT_YUY2, ZM4_FORMAT_UYVY})
                for (int reference : {0, 1})
                    b->Args({code, width, compressed, reference, 0});
            b->Args({ZM4_FORMAT_RGB24, width, compressed, 0, 1}); // the table form
        }
}

BENCHMARK(BM_VerifyStream)->ArgNames({"w", "comp"})->ArgsProduct({{352, 176}, {0, 1}});
BENCHMARK(BM_FormatStream)->Apply(formatArgs);
BENCHMARK(BM_Resize704x576)->ArgName("withdecode")->Arg(0)->Arg(1);

#ifdef ZM4_HAVE_LIBYUV
// libyuv on the camera's own 4:2:2 data (YUY2 byte order), same sizes.
void BM_LibyuvYuy2ToRgb24(benchmark::State &state)
{
    const uint32_t width = static_cast<uint32_t>(state.range(0));
    const int w = static_cast<int>(width), h = width == 352 ? 288 : 144;
    const Image422 &src = stream(width).source;
    std::vector<uint8_t> argb(static_cast<size_t>(w) * h * 4), rgb(static_cast<size_t>(w) * h * 3);
    for (auto _ : state) {
        // No direct YUY2-to-RGB24 conversion exists; its fastest path goes through ARGB.
        libyuv::YUY2ToARGB(src.data.data(), 2 * w, argb.data(), 4 * w, w, h);
        libyuv::ARGBToRGB24(argb.data(), 4 * w, rgb.data(), 3 * w, w, h);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * rgb.size()));
}

void BM_LibyuvYuy2ToI420(benchmark::State &state)
{
    const uint32_t width = static_cast<uint32_t>(state.range(0));
    const int w = static_cast<int>(width), h = width == 352 ? 288 : 144;
    const Image422 &src = stream(width).source;
    std::vector<uint8_t> out(static_cast<size_t>(w) * h * 3 / 2);
    uint8_t *y = out.data(), *u = y + w * h, *v = u + w * h / 4;
    for (auto _ : state) {
        libyuv::YUY2ToI420(src.data.data(), 2 * w, y, w, u, w / 2, v, w / 2, w, h);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
}

// Bilinear doubling of a 352x288 image: 24-bit (as our resize) and 32-bit.
void BM_LibyuvScale704x576(benchmark::State &state)
{
    const bool argb = state.range(0) != 0;
    const int bpp = argb ? 4 : 3;
    std::vector<uint8_t> src(352u * 288 * static_cast<size_t>(bpp));
    for (size_t i = 0; i < src.size(); ++i)
        src[i] = static_cast<uint8_t>(i * 7);
    std::vector<uint8_t> dst(src.size() * 4);
    for (auto _ : state) {
        if (argb)
            libyuv::ARGBScale(src.data(), 352 * 4, 352, 288, dst.data(), 704 * 4, 704, 576,
                              libyuv::kFilterBilinear);
        else
            libyuv::RGBScale(src.data(), 352 * 3, 352, 288, dst.data(), 704 * 3, 704, 576,
                             libyuv::kFilterBilinear);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * dst.size()));
}

BENCHMARK(BM_LibyuvYuy2ToRgb24)->ArgName("w")->Arg(352)->Arg(176);
BENCHMARK(BM_LibyuvYuy2ToI420)->ArgName("w")->Arg(352)->Arg(176);
BENCHMARK(BM_LibyuvScale704x576)->ArgName("argb")->Arg(0)->Arg(1);
#endif

// The summary: medians of thread CPU time, so that other work on a shared
// machine counts as little as possible.
double mMedianMicros(const std::function<void()> &run, int repetitions = 41)
{
    run();
    std::vector<double> times;
    for (int i = 0; i < repetitions; ++i) {
        timespec a{}, b{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
        run();
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
        times.push_back(static_cast<double>(b.tv_sec - a.tv_sec) * 1e6 +
                        static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e3);
    }
    std::nth_element(times.begin(), times.begin() + repetitions / 2, times.end());
    return times[static_cast<size_t>(repetitions / 2)];
}

// A compressed CIF frame against the stream's uncompressed one: a share of
// the pairs changed, either as the top of the picture (one run a row) or
// scattered at random (a run for nearly every changed pair).
EncodedFrame mChanged(double share, bool scattered)
{
    const Stream &s = stream(352);
    Image422 next = s.source;
    const Image422 moved = scene(352, 288, 3);
    std::mt19937 rng(7);
    const size_t pairs = next.data.size() / 4;
    for (size_t p = 0; p < pairs; ++p) {
        const bool change = scattered ? static_cast<double>(rng() % 1000) < share * 1000
                                      : static_cast<double>(p) < share * static_cast<double>(pairs);
        if (change)
            std::memcpy(next.data.data() + 4 * p, moved.data.data() + 4 * p, 4);
    }
    EncodeOptions options;
    options.compression = true;
    options.previous = &s.uncompressed.reference;
    return zm4::emu::encodeFrame(next, options);
}

void mReport(const char *what, double ratio, double limit)
{
    std::printf("  %-58s %6.2f  (target <= %.2f: %s)\n", what, ratio, limit,
                ratio <= limit ? "met" : "NOT met");
}

double mDecodeMicros(uint32_t code, const EncodedFrame &frame, uint32_t isa)
{
    Decode_ForceIsa(isa);
    const Stream &s = stream(352);
    std::vector<uint8_t> out(std::max<size_t>(Decode_ImageBytes(code, 352, 288), 1));
    uint16_t state = 0;
    FormatStream(code, s.uncompressed.bytes.data(), out.data(), 352, 288, &state);
    const double us = mMedianMicros([&] {
        FormatStream(code, frame.bytes.data(), out.data(), 352, 288, &state);
        benchmark::ClobberMemory();
    });
    Decode_ForceIsa(Decode_IsaBest);
    return us;
}

void mSummary()
{
    InitDecode();
    std::printf("\nSummary (352x288, thread CPU time, medians)\nCPU features:");
#define ZM4_PRINT_FEATURE(name)                                                                              \
    if (__builtin_cpu_supports(name))                                                                        \
        std::printf(" %s", name);
    ZM4_PRINT_FEATURE("sse2")
    ZM4_PRINT_FEATURE("ssse3")
    ZM4_PRINT_FEATURE("avx2")
    ZM4_PRINT_FEATURE("avx512f")
    ZM4_PRINT_FEATURE("avx512bw")
    ZM4_PRINT_FEATURE("avx512vl")
    ZM4_PRINT_FEATURE("avx512vbmi")
#undef ZM4_PRINT_FEATURE
    std::printf("\nDecoder kernels: %s (levels supported 0..%u)\n", Decode_IsaName(), Decode_SupportedIsa());

    const Stream &s = stream(352);
    const uint32_t best = Decode_IsaBest;
    std::vector<uint8_t> from(704 * 576 * 4), to(from.size());
    const auto memcpyMicros = [&](size_t bytes) {
        return mMedianMicros([&] {
            std::memcpy(to.data(), from.data(), bytes);
            benchmark::ClobberMemory();
        });
    };

    const double rgb24 = mDecodeMicros(ZM4_FORMAT_RGB24, s.uncompressed, best);
    const double rgb24Avx2 = mDecodeMicros(ZM4_FORMAT_RGB24, s.uncompressed, 1);
    std::printf("FormatStream RGB24: %.1f us (%s), %.1f us (avx2 forced)\n", rgb24, Decode_IsaName(),
                rgb24Avx2);
#ifdef ZM4_HAVE_LIBYUV
    const int w = 352, h = 288;
    std::vector<uint8_t> argb(size_t{w} * h * 4), rgb(size_t{w} * h * 3), planes(size_t{w} * h * 2);
    const double viaArgb = mMedianMicros([&] {
        libyuv::YUY2ToARGB(s.source.data.data(), 2 * w, argb.data(), 4 * w, w, h);
        libyuv::ARGBToRGB24(argb.data(), 4 * w, rgb.data(), 3 * w, w, h);
        benchmark::ClobberMemory();
    });
    const double viaI422 = mMedianMicros([&] {
        uint8_t *y = planes.data(), *u = y + w * h, *v = u + w * h / 2;
        libyuv::YUY2ToI422(s.source.data.data(), 2 * w, y, w, u, w / 2, v, w / 2, w, h);
        libyuv::I422ToRGB24(y, w, u, w / 2, v, w / 2, rgb.data(), 3 * w, w, h);
        benchmark::ClobberMemory();
    });
    const double libyuvRgb24 = std::min(viaArgb, viaI422);
    std::printf("libyuv YUY2->RGB24: %.1f us via ARGB, %.1f us via I422\n", viaArgb, viaI422);
    mReport("FormatStream RGB24 / libyuv fastest YUY2->RGB24", rgb24 / libyuvRgb24, 0.7);
    mReport("FormatStream RGB24, AVX2 forced / libyuv", rgb24Avx2 / libyuvRgb24, 1.0);
#endif

    std::vector<uint8_t> big(704u * 576 * 3), half(352u * 288 * 3);
    uint16_t state = 0;
    FormatStream(ZM4_FORMAT_RGB24, s.uncompressed.bytes.data(), half.data(), 352, 288, &state);
    const double resize = mMedianMicros([&] {
        std::memcpy(big.data(), half.data(), half.size());
        Resize_by_2_PolyPhase(big.data(), 288, 352);
        benchmark::ClobberMemory();
    });
    mReport("Resize_by_2_PolyPhase 352x288 -> 704x576, ms", resize / 1000, 0.12);
#ifdef ZM4_HAVE_LIBYUV
    const double scale = mMedianMicros([&] {
        libyuv::RGBScale(half.data(), 352 * 3, 352, 288, to.data(), 704 * 3, 704, 576,
                         libyuv::kFilterBilinear);
        benchmark::ClobberMemory();
    });
    mReport("Resize / libyuv RGBScale bilinear", resize / scale, 0.4);
#endif

    const struct {
        uint32_t code;
        const char *name;
    } packed[] = {{ZM4_FORMAT_YUY2, "YUY2"},
                  {ZM4_FORMAT_UYVY, "UYVY"},
                  {ZM4_FORMAT_I420, "I420"},
                  {ZM4_FORMAT_YV12, "YV12"},
                  {ZM4_FORMAT_RGB32, "RGB32"}};
    for (const auto &f : packed) {
        const double us = mDecodeMicros(f.code, s.uncompressed, best);
        const double copy = memcpyMicros(Decode_ImageBytes(f.code, 352, 288));
        const std::string what = std::string("FormatStream ") + f.name + " / memcpy of its output";
        std::printf("  (%s %.1f us, memcpy %.1f us)\n", f.name, us, copy);
        mReport(what.c_str(), us / copy, 2.0);
    }
    const double rgb16 = mDecodeMicros(ZM4_FORMAT_RGB16, s.uncompressed, best);
    mReport("FormatStream RGB16 / RGB24", rgb16 / rgb24, 1.0);

    // Compressed frames: a third changed (as one block and scattered) against
    // the uncompressed frame, and every share against the bare item walk
    // (format code 1) of the same frame.
    const EncodedFrame block = mChanged(1.0 / 3, false), scattered = mChanged(1.0 / 3, true),
                       tenth = mChanged(0.1, true), all = mChanged(1.0, true);
    for (const auto &f : packed) {
        const double full = mDecodeMicros(f.code, s.uncompressed, best);
        for (const auto &[frame, name] :
             {std::pair{&block, "a third, in one block"}, std::pair{&scattered, "a third, scattered"}}) {
            const std::string what = std::string(f.name) + " compressed (" + name + ") / uncompressed";
            mReport(what.c_str(), mDecodeMicros(f.code, *frame, best) / full, 1.0);
        }
    }
    for (const uint32_t code : {ZM4_FORMAT_RGB24, ZM4_FORMAT_RGB16}) {
        const double full = mDecodeMicros(code, s.uncompressed, best);
        for (const auto &[frame, name] :
             {std::pair{&block, "a third, in one block"}, std::pair{&scattered, "a third, scattered"}}) {
            const std::string what = std::string(code == ZM4_FORMAT_RGB24 ? "RGB24" : "RGB16") +
                                     " compressed (" + name + ") / uncompressed";
            mReport(what.c_str(), mDecodeMicros(code, *frame, best) / full, 1.0);
        }
    }
    for (const auto &[frame, name] :
         {std::pair{&tenth, "a tenth"}, std::pair{&scattered, "a third"}, std::pair{&all, "all pairs"}}) {
        const double walk = mDecodeMicros(ZM4_FORMAT_NONE, *frame, best);
        std::printf("  (item walk, %s changed: %.1f us)\n", name, walk);
        for (const uint32_t code : {ZM4_FORMAT_RGB24, ZM4_FORMAT_YUY2, ZM4_FORMAT_I420}) {
            const std::string what = std::string("compressed, ") + name + " changed, format " +
                                     std::to_string(code) + " / item walk";
            mReport(what.c_str(), mDecodeMicros(code, *frame, best) / walk, 2.0);
        }
    }
    FiniDecode();
}

} // namespace

// A short minimum time per benchmark unless the caller gives one, so that
// `make bench` finishes in about a minute on a small machine.
int main(int argc, char **argv)
{
    std::vector<char *> args;
    bool hasMinTime = false, summaryOnly = false;
    for (int i = 0; i < argc; ++i) {
        hasMinTime |= std::strncmp(argv[i], "--benchmark_min_time", 20) == 0;
        if (std::strcmp(argv[i], "--summary") == 0)
            summaryOnly = true;
        else
            args.push_back(argv[i]);
    }
    if (summaryOnly) {
        mSummary();
        return 0;
    }
    std::string minTime = "--benchmark_min_time=0.1";
    if (!hasMinTime)
        args.insert(args.begin() + 1, minTime.data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    mSummary();
    return 0;
}
