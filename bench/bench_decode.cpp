// Decoder benchmarks: frame verification and decoding into every output
// format (fast paths and the plain reference paths, so the gain shows), the
// double-size resize, and, when libyuv is installed, its nearest same-size
// conversions timed in the same run for comparison.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "decode/decode_options.h"
#include "decode/resize.h"
#include "decode/zm4decode.h"
#include "tests/support/frame_encoder.h"

#ifdef ZM4_HAVE_LIBYUV
#include <libyuv.h>
#include <libyuv/scale_rgb.h>
#endif

namespace {

using zm4::testing::EncodedFrame;
using zm4::testing::EncodeOptions;
using zm4::testing::Image422;

// A smooth picture with detail, like a specimen under the microscope.
Image422 scene(uint32_t width, uint32_t height, uint32_t shift)
{
    Image422 image(width, height);
    for (uint32_t r = 0; r < height; ++r) {
        for (uint32_t p = 0; p < width / 2; ++p) {
            uint8_t *pair = image.pair(r, p);
            uint32_t x = 2 * p + shift, y = r + shift / 2;
            pair[0] = static_cast<uint8_t>(40 + (x * 3 + y * 5) % 180);
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
        s.uncompressed = zm4::testing::encodeFrame(s.source, EncodeOptions{});
        Image422 next = s.source;
        Image422 moved = scene(width, height, 3);
        std::copy(moved.data.begin(), moved.data.begin() + static_cast<std::ptrdiff_t>(moved.data.size() / 3),
                  next.data.begin());
        EncodeOptions options;
        options.compress = true;
        options.previous = &s.uncompressed.reference;
        s.compressed = zm4::testing::encodeFrame(next, options);
    }
    return s;
}

size_t outputBytes(uint32_t code, uint32_t w, uint32_t h)
{
    switch (code) {
    case ZM4_FORMAT_RGB32:
        return 4u * w * h;
    case ZM4_FORMAT_RGB24:
        return 3u * w * h;
    case ZM4_FORMAT_I420:
    case ZM4_FORMAT_YV12:
        return w * h * 3u / 2;
    case ZM4_FORMAT_NONE:
        return 0;
    default:
        return 2u * w * h;
    }
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

} // namespace

// A short minimum time per benchmark unless the caller gives one, so that
// `make bench` finishes in about a minute on a small machine.
int main(int argc, char **argv)
{
    std::vector<char *> args(argv, argv + argc);
    bool hasMinTime = false;
    for (int i = 1; i < argc; ++i)
        hasMinTime |= std::strncmp(argv[i], "--benchmark_min_time", 20) == 0;
    std::string minTime = "--benchmark_min_time=0.1";
    if (!hasMinTime)
        args.insert(args.begin() + 1, minTime.data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
