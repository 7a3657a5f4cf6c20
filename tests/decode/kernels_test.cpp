// Every row kernel of every instruction-set level this processor has, against
// the plain per-pair converters: runs of every length up to a few vector
// steps and a whole row, at odd offsets, over every clamp edge and random
// pairs, with guard bytes around the output that must stay untouched.
#include <random>

#include "decode/row_kernels.h"
#include "decode/yuv2rgb.h"
#include "tests/decode/decode_env.h"

namespace zm4::testing {
using namespace zm4::decode;
namespace {

constexpr size_t kGuard = 64;

// Pairs whose bytes take every clamp edge, then random pairs.
std::vector<uint8_t> kernelInput(uint32_t seed)
{
    const uint8_t edges[] = {0, 1, 15, 16, 17, 127, 128, 129, 235, 236, 254, 255};
    std::vector<uint8_t> in;
    for (const uint8_t y : edges)
        for (const uint8_t u : edges)
            for (const uint8_t v : edges)
                in.insert(in.end(), {y, u, static_cast<uint8_t>(255 - y), v});
    const auto noise = noiseBuffer(4 * 4096, seed);
    in.insert(in.end(), noise.begin(), noise.end());
    return in;
}

using PairFn = void (*)(const uint8_t *src, uint8_t *dst);
using RowFn = void (*)(const uint8_t *src, uint8_t *dst, uint32_t pairs);

void referenceRGB16(const uint8_t *src, uint8_t *dst)
{
    uint16_t words[2];
    YUVPixeltoRGB16(src, words);
    dst[0] = static_cast<uint8_t>(words[0]);
    dst[1] = static_cast<uint8_t>(words[0] >> 8);
    dst[2] = static_cast<uint8_t>(words[1]);
    dst[3] = static_cast<uint8_t>(words[1] >> 8);
}

void referenceUYVY(const uint8_t *src, uint8_t *dst)
{
    const uint8_t swapped[4] = {src[1], src[0], src[3], src[2]};
    std::copy_n(swapped, 4, dst);
}

// Splits the planar kernel's three outputs over one buffer: luma, U, V.
void planarInto(const RowKernels &k, const uint8_t *src, uint8_t *dst, uint32_t pairs, bool chroma)
{
    k.toPlanar(src, dst, chroma ? dst + 2 * pairs + kGuard : nullptr, dst + 3 * pairs + 2 * kGuard, pairs);
}

struct Converter {
    const char *name;
    size_t outPerPair;
    PairFn reference;
    RowFn RowKernels::*kernel;
};

const Converter kConverters[] = {
    {"RGB32", 8, YUVPixeltoRGB32, &RowKernels::toRGB32},
    {"RGB24", 6, YUVPixeltoRGB24MMX, &RowKernels::toRGB24},
    {"RGB16", 4, referenceRGB16, &RowKernels::toRGB16},
    {"UYVY", 4, referenceUYVY, &RowKernels::toUYVY},
};

// Run lengths: every count a row can hold (up to 176 pairs), and the whole input.
std::vector<uint32_t> runLengths(uint32_t total)
{
    std::vector<uint32_t> n;
    for (uint32_t i = 0; i <= 176; ++i)
        n.push_back(i);
    n.push_back(total);
    return n;
}

TEST(RowKernels, EveryLevelWritesExactlyTheReferenceBytes)
{
    const std::vector<uint8_t> in = kernelInput(1);
    const uint32_t total = static_cast<uint32_t>(in.size() / 4);
    for (uint32_t isa = 0; isa <= Decode_SupportedIsa(); ++isa) {
        const RowKernels &k = *RowKernels_For(isa);
        SCOPED_TRACE(k.name);
        for (const uint32_t pairs : runLengths(total))
            for (const uint32_t start : {0u, 1u, 7u}) {
                if (start + pairs > total)
                    continue;
                const uint8_t *src = in.data() + 4 * size_t{start};
                for (const Converter &c : kConverters) {
                    const size_t bytes = c.outPerPair * pairs + 2 * kGuard;
                    std::vector<uint8_t> want = noiseBuffer(bytes, pairs), got = want;
                    for (uint32_t p = 0; p < pairs; ++p)
                        c.reference(src + 4 * p, want.data() + kGuard + c.outPerPair * p);
                    (k.*c.kernel)(src, got.data() + kGuard, pairs);
                    ASSERT_EQ(got, want) << c.name << ", " << pairs << " pairs from " << start;
                }
                for (const bool chroma : {true, false}) {
                    const size_t bytes = 4 * size_t{pairs} + 4 * kGuard;
                    std::vector<uint8_t> want = noiseBuffer(bytes, pairs), got = want;
                    for (uint32_t p = 0; p < pairs; ++p) {
                        want[kGuard + 2 * p] = src[4 * p];
                        want[kGuard + 2 * p + 1] = src[4 * p + 2];
                        if (chroma) {
                            want[2 * kGuard + 2 * pairs + p] = src[4 * p + 1];
                            want[3 * kGuard + 3 * pairs + p] = src[4 * p + 3];
                        }
                    }
                    planarInto(k, src, got.data() + kGuard, pairs, chroma);
                    ASSERT_EQ(got, want) << "planar, " << pairs << " pairs from " << start;
                }
            }
    }
}

// The search for the run of pairs in a compressed row: items whose first
// byte is odd now and then, runs of every length up to a few unrolled steps.
TEST(RowKernels, EveryLevelFindsTheSameRunOfPairs)
{
    std::vector<uint8_t> items = noiseBuffer(4 * 2048, 2);
    for (size_t i = 0; i < items.size(); i += 4)
        items[i] = static_cast<uint8_t>(items[i] & (items[i + 1] < 4 ? 0xFF : 0xFE)); // odd about 1 in 128
    for (uint32_t isa = 0; isa <= Decode_SupportedIsa(); ++isa)
        for (uint32_t start = 0; start < 2048 - 300; start += 7)
            for (const uint32_t most : {0u, 1u, 15u, 16u, 17u, 63u, 64u, 65u, 130u, 300u}) {
                const uint8_t *p = items.data() + 4 * size_t{start};
                uint32_t want = 0;
                while (want < most && (p[4 * want] & 1) == 0)
                    ++want;
                ASSERT_EQ(RowKernels_For(isa)->countPairs(p, most), want)
                    << RowKernels_For(isa)->name << " from " << start << ", at most " << most;
            }
}

} // namespace
} // namespace zm4::testing
