// AVX2 row kernels: 8 pairs a step in 16-bit lanes, in-lane byte shuffles
// for the 3-byte pixels; the last pairs of a run (fewer than a step) go to
// the baseline kernels. Built with -mavx2; only called when the processor
// has it.
#include <immintrin.h>

#include "decode/row_kernels.h"

namespace zm4::decode {
namespace {

struct Bgr16 {
    __m256i b, g, r; // 16 lanes each, shifted but not yet clamped
};

// The direct form on 8 pairs, by multiply-adds of paired bytes (see the
// AVX-512 kernels).
inline Bgr16 mConvert(const uint8_t *src)
{
    const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src));
    const __m256i yu = _mm256_shuffle_epi8(
        in, _mm256_broadcastsi128_si256(_mm_setr_epi8(0, 1, 2, 1, 4, 5, 6, 5, 8, 9, 10, 9, 12, 13, 14, 13)));
    const __m256i yv = _mm256_shuffle_epi8(in, _mm256_broadcastsi128_si256(_mm_setr_epi8(
                                                   0, 3, 2, 3, 4, 7, 6, 7, 8, 11, 10, 11, 12, 15, 14, 15)));
    const __m256i blue = _mm256_maddubs_epi16(yu, _mm256_set1_epi16(32 << 8 | 19));
    const __m256i red = _mm256_maddubs_epi16(yv, _mm256_set1_epi16(26 << 8 | 19));
    const __m256i green =
        _mm256_add_epi16(_mm256_maddubs_epi16(yu, _mm256_set1_epi16(static_cast<int16_t>(0xFA13))),
                         _mm256_maddubs_epi16(yv, _mm256_set1_epi16(static_cast<int16_t>(0xF300))));
    return {_mm256_srai_epi16(_mm256_sub_epi16(blue, _mm256_set1_epi16(4400)), 4),
            _mm256_srai_epi16(_mm256_add_epi16(green, _mm256_set1_epi16(2128)), 4),
            _mm256_srai_epi16(_mm256_sub_epi16(red, _mm256_set1_epi16(3632)), 4)};
}

// Within each 128-bit lane, packus(b, g) holds blue k at byte k and green k
// at 8 + k, packus(r, r) red k at byte k: the 24 bytes of the lane's eight
// pixels are shuffled out of the two, 16 and then 8 bytes.
void mToRGB24(const uint8_t *src, uint8_t *dst, uint32_t pairs)
{
    const __m256i fromBG0 =
        _mm256_broadcastsi128_si256(_mm_setr_epi8(0, 8, -1, 1, 9, -1, 2, 10, -1, 3, 11, -1, 4, 12, -1, 5));
    const __m256i fromR0 =
        _mm256_broadcastsi128_si256(_mm_setr_epi8(-1, -1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1));
    const __m256i fromBG1 = _mm256_broadcastsi128_si256(
        _mm_setr_epi8(13, -1, 6, 14, -1, 7, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1));
    const __m256i fromR1 = _mm256_broadcastsi128_si256(
        _mm_setr_epi8(-1, 5, -1, -1, 6, -1, -1, 7, -1, -1, -1, -1, -1, -1, -1, -1));
    uint32_t i = 0;
    for (; i + 8 <= pairs; i += 8, src += 32, dst += 48) {
        const Bgr16 c = mConvert(src);
        const __m256i bg = _mm256_packus_epi16(c.b, c.g);
        const __m256i rr = _mm256_packus_epi16(c.r, c.r);
        const __m256i first =
            _mm256_or_si256(_mm256_shuffle_epi8(bg, fromBG0), _mm256_shuffle_epi8(rr, fromR0));
        const __m256i rest =
            _mm256_or_si256(_mm256_shuffle_epi8(bg, fromBG1), _mm256_shuffle_epi8(rr, fromR1));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), _mm256_castsi256_si128(first));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(dst + 16), _mm256_castsi256_si128(rest));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 24), _mm256_extracti128_si256(first, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(dst + 40), _mm256_extracti128_si256(rest, 1));
    }
    if (i < pairs)
        RowKernels_Baseline.toRGB24(src, dst, pairs - i);
}

void mToRGB32(const uint8_t *src, uint8_t *dst, uint32_t pairs)
{
    const __m256i zero = _mm256_setzero_si256(), full = _mm256_set1_epi16(255);
    uint32_t i = 0;
    for (; i + 8 <= pairs; i += 8, src += 32, dst += 64) {
        const Bgr16 c = mConvert(src);
        const __m256i b = _mm256_min_epi16(_mm256_max_epi16(c.b, zero), full);
        const __m256i g = _mm256_min_epi16(_mm256_max_epi16(c.g, zero), full);
        const __m256i r = _mm256_min_epi16(_mm256_max_epi16(c.r, zero), full);
        const __m256i bg = _mm256_or_si256(b, _mm256_slli_epi16(g, 8));
        const __m256i lo = _mm256_unpacklo_epi16(bg, r); // pixels 0-3 and 8-11
        const __m256i hi = _mm256_unpackhi_epi16(bg, r); // pixels 4-7 and 12-15
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst), _mm256_permute2x128_si256(lo, hi, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + 32), _mm256_permute2x128_si256(lo, hi, 0x31));
    }
    if (i < pairs)
        RowKernels_Baseline.toRGB32(src, dst, pairs - i);
}

void mToRGB16(const uint8_t *src, uint8_t *dst, uint32_t pairs)
{
    const __m256i zero = _mm256_setzero_si256(), full = _mm256_set1_epi16(255);
    uint32_t i = 0;
    for (; i + 8 <= pairs; i += 8, src += 32, dst += 32) {
        const Bgr16 c = mConvert(src);
        const __m256i b = _mm256_min_epi16(_mm256_max_epi16(c.b, zero), full);
        const __m256i g = _mm256_min_epi16(_mm256_max_epi16(c.g, zero), full);
        const __m256i r = _mm256_min_epi16(_mm256_max_epi16(c.r, zero), full);
        const __m256i words = _mm256_or_si256(_mm256_or_si256(_mm256_slli_epi16(_mm256_srli_epi16(r, 3), 10),
                                                              _mm256_slli_epi16(_mm256_srli_epi16(g, 3), 5)),
                                              _mm256_srli_epi16(b, 3));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst), words);
    }
    if (i < pairs)
        RowKernels_Baseline.toRGB16(src, dst, pairs - i);
}

void mToUYVY(const uint8_t *src, uint8_t *dst, uint32_t pairs)
{
    uint32_t i = 0;
    for (; i + 8 <= pairs; i += 8, src += 32, dst += 32) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst),
                            _mm256_or_si256(_mm256_slli_epi16(x, 8), _mm256_srli_epi16(x, 8)));
    }
    if (i < pairs)
        RowKernels_Baseline.toUYVY(src, dst, pairs - i);
}

void mToPlanar(const uint8_t *src, uint8_t *y, uint8_t *u, uint8_t *v, uint32_t pairs)
{
    const __m256i lowByte = _mm256_set1_epi16(0x00FF);
    uint32_t i = 0;
    for (; i + 16 <= pairs; i += 16, src += 64, y += 32) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + 32));
        // packus works within lanes: the quadwords come out as a0 b0 a1 b1.
        const __m256i luma = _mm256_packus_epi16(_mm256_and_si256(a, lowByte), _mm256_and_si256(b, lowByte));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(y), _mm256_permute4x64_epi64(luma, 0xD8));
        if (u != nullptr) {
            const __m256i uv = _mm256_permute4x64_epi64(
                _mm256_packus_epi16(_mm256_srli_epi16(a, 8), _mm256_srli_epi16(b, 8)), 0xD8);
            const __m256i zero = _mm256_setzero_si256();
            const __m256i us =
                _mm256_permute4x64_epi64(_mm256_packus_epi16(_mm256_and_si256(uv, lowByte), zero), 0x08);
            const __m256i vs =
                _mm256_permute4x64_epi64(_mm256_packus_epi16(_mm256_srli_epi16(uv, 8), zero), 0x08);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(u), _mm256_castsi256_si128(us));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(v), _mm256_castsi256_si128(vs));
            u += 16;
            v += 16;
        }
    }
    if (i < pairs)
        RowKernels_Baseline.toPlanar(src, y, u, v, pairs - i);
}

uint32_t mCountPairs(const uint8_t *p, uint32_t most)
{
    uint32_t run = 0;
    for (; run + 8 <= most; run += 8) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 4 * size_t{run}));
        const uint32_t odd =
            static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_slli_epi16(x, 7))) & 0x11111111u;
        if (odd != 0)
            return run + static_cast<uint32_t>(__builtin_ctz(odd)) / 4;
    }
    return run + RowKernels_Baseline.countPairs(p + 4 * size_t{run}, most - run);
}

} // namespace

// The resize keeps the baseline filter, which the compiler vectorises.
const RowKernels RowKernels_Avx2 = {"avx2",    mToRGB32,    mToRGB24, mToRGB16, mToUYVY,
                                    mToPlanar, mCountPairs, nullptr,  nullptr};

} // namespace zm4::decode
