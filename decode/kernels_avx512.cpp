// AVX-512 row kernels (F, BW, VL, VBMI): 16 pairs a step, byte permutes
// for the 3- and 4-byte pixel layouts, and masked loads and stores for the
// last pairs of a run, so that nothing outside the run is read or written.
// Built with the AVX-512 flags; only called when the processor has them.
#include <immintrin.h>

#include "decode/row_kernels.h"

namespace zm4::decode {
namespace {

struct Index64 {
    alignas(64) uint8_t v[64];
};

// Converted pixels: 32 lanes of 16 bits each, shifted but not yet clamped.
struct Bgr32 {
    __m512i b, g, r;
};

// The direct form on 16 pairs: blue 19 (Y - 16) + 32 (U - 128), green
// 19 (Y - 16) - 6 (U - 128) - 13 (V - 128), red 19 (Y - 16) + 26 (V - 128),
// each >> 4. Each pixel's (Y, U) and (Y, V) bytes are paired up and weighed
// by a multiply-add of unsigned bytes by signed bytes; the offsets are folded
// into one constant per component. No sum leaves the signed 16-bit range
// (19Y + 32U is at most 12975), so nothing saturates and the bytes are the
// direct form's.
// The weighted sums before their offsets.
inline Bgr32 mWeigh(__m512i in)
{
    const __m512i yu = _mm512_shuffle_epi8(
        in, _mm512_broadcast_i32x4(_mm_setr_epi8(0, 1, 2, 1, 4, 5, 6, 5, 8, 9, 10, 9, 12, 13, 14, 13)));
    const __m512i yv = _mm512_shuffle_epi8(
        in, _mm512_broadcast_i32x4(_mm_setr_epi8(0, 3, 2, 3, 4, 7, 6, 7, 8, 11, 10, 11, 12, 15, 14, 15)));
    const __m512i blue = _mm512_maddubs_epi16(yu, _mm512_set1_epi16(32 << 8 | 19));
    const __m512i red = _mm512_maddubs_epi16(yv, _mm512_set1_epi16(26 << 8 | 19));
    const __m512i green =
        _mm512_add_epi16(_mm512_maddubs_epi16(yu, _mm512_set1_epi16(static_cast<int16_t>(0xFA13))),
                         _mm512_maddubs_epi16(yv, _mm512_set1_epi16(static_cast<int16_t>(0xF300))));
    return {blue, green, red};
}

// The offsets of the direct form, one per component.
constexpr int16_t kBlueOffset = -4400, kGreenOffset = 2128, kRedOffset = -3632;

inline Bgr32 mConvertSums(__m512i in)
{
    const Bgr32 w = mWeigh(in);
    return {_mm512_add_epi16(w.b, _mm512_set1_epi16(kBlueOffset)),
            _mm512_add_epi16(w.g, _mm512_set1_epi16(kGreenOffset)),
            _mm512_add_epi16(w.r, _mm512_set1_epi16(kRedOffset))};
}

inline Bgr32 mConvert(__m512i in)
{
    const Bgr32 sums = mConvertSums(in);
    return {_mm512_srai_epi16(sums.b, 4), _mm512_srai_epi16(sums.g, 4), _mm512_srai_epi16(sums.r, 4)};
}

inline __mmask64 mBytes(uint32_t n)
{
    return n >= 64 ? ~__mmask64{0} : (__mmask64{1} << n) - 1;
}

// After packus(b, g) and packus(r, x), 128-bit lane L holds pixels 8L to
// 8L + 7: blue at bytes 16L + k, green at 16L + 8 + k of the first vector,
// red at 16L + k of the second (index 64 and up), x at 16L + 8 + k.
constexpr uint8_t mPackedByte(uint32_t pixel, uint32_t component)
{
    const uint32_t lane = pixel / 8, k = pixel % 8;
    const uint32_t at = 16 * lane + k;
    switch (component) {
    case 0:
        return static_cast<uint8_t>(at);
    case 1:
        return static_cast<uint8_t>(at + 8);
    case 2:
        return static_cast<uint8_t>(64 + at);
    default:
        return static_cast<uint8_t>(64 + at + 8);
    }
}

constexpr Index64 mPixelIndex(uint32_t bytesPerPixel, uint32_t chunk)
{
    Index64 r{};
    for (uint32_t j = 0; j < 64; ++j) {
        const uint32_t o = 64 * chunk + j;
        r.v[j] = mPackedByte((o / bytesPerPixel) % 32, o % bytesPerPixel);
    }
    return r;
}

constexpr Index64 kRgb24[2] = {mPixelIndex(3, 0), mPixelIndex(3, 1)};
constexpr Index64 kRgb32[2] = {mPixelIndex(4, 0), mPixelIndex(4, 1)};

inline __m512i mLoad(const Index64 &index)
{
    return _mm512_load_si512(index.v);
}

// Each kernel runs whole steps with plain loads and stores, then at most one
// step with masks for the last pairs.
void mToRGB24(const uint8_t *src, uint8_t *dst, uint32_t pairs)
{
    const __m512i i0 = mLoad(kRgb24[0]), i1 = mLoad(kRgb24[1]);
    const auto step = [&](__m512i in, __m512i &lo, __m512i &hi) {
        const Bgr32 c = mConvert(in);
        const __m512i bg = _mm512_packus_epi16(c.b, c.g);
        const __m512i rr = _mm512_packus_epi16(c.r, c.r);
        lo = _mm512_permutex2var_epi8(bg, i0, rr);
        hi = _mm512_permutex2var_epi8(bg, i1, rr);
    };
    __m512i lo, hi;
    for (; pairs >= 16; pairs -= 16, src += 64, dst += 96) {
        step(_mm512_loadu_si512(src), lo, hi);
        _mm512_storeu_si512(dst, lo);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + 64), _mm512_castsi512_si256(hi));
    }
    if (pairs > 0) {
        step(_mm512_maskz_loadu_epi8(mBytes(4 * pairs), src), lo, hi);
        const uint32_t bytes = 6 * pairs;
        _mm512_mask_storeu_epi8(dst, mBytes(bytes), lo);
        if (bytes > 64)
            _mm256_mask_storeu_epi8(dst + 64, static_cast<__mmask32>(mBytes(bytes - 64)),
                                    _mm512_castsi512_si256(hi));
    }
}

// Bit k of the index spread over bits 6k to 6k + 5: the store mask of the
// six RGB24 bytes of each pair.
struct Spread6 {
    uint64_t v[256];
};

constexpr Spread6 mSpread6()
{
    Spread6 r{};
    for (uint32_t m = 0; m < 256; ++m)
        for (uint32_t k = 0; k < 8; ++k)
            if ((m >> k) & 1)
                r.v[m] |= uint64_t{0x3F} << (6 * k);
    return r;
}

constexpr Spread6 kSpread6 = mSpread6();

// Every slot is converted; the store masks keep dst as it was under the
// slots the camera skipped (and past the last pair).
void mToRGB24Sent(const uint8_t *src, uint8_t *dst, uint32_t pairs)
{
    const __m512i i0 = mLoad(kRgb24[0]), i1 = mLoad(kRgb24[1]);
    const __m512i lowBits = _mm512_set1_epi32(1);
    while (pairs > 0) {
        const uint32_t n = pairs < 16 ? pairs : 16;
        const __mmask16 lanes = static_cast<__mmask16>((1u << n) - 1);
        const __m512i in = _mm512_maskz_loadu_epi32(lanes, src);
        const uint32_t sent = _mm512_mask_testn_epi32_mask(lanes, in, lowBits);
        const Bgr32 c = mConvert(in);
        const __m512i bg = _mm512_packus_epi16(c.b, c.g);
        const __m512i rr = _mm512_packus_epi16(c.r, c.r);
        const uint64_t high = kSpread6.v[sent >> 8];
        _mm512_mask_storeu_epi8(dst, kSpread6.v[sent & 0xFF] | high << 48,
                                _mm512_permutex2var_epi8(bg, i0, rr));
        _mm256_mask_storeu_epi8(dst + 64, static_cast<__mmask32>(high >> 16),
                                _mm512_castsi512_si256(_mm512_permutex2var_epi8(bg, i1, rr)));
        src += 64;
        dst += 96;
        pairs -= n;
    }
}

void mToRGB32(const uint8_t *src, uint8_t *dst, uint32_t pairs)
{
    const __m512i i0 = mLoad(kRgb32[0]), i1 = mLoad(kRgb32[1]);
    const auto step = [&](__m512i in, __m512i &lo, __m512i &hi) {
        const Bgr32 c = mConvert(in);
        const __m512i bg = _mm512_packus_epi16(c.b, c.g);
        const __m512i r0 = _mm512_packus_epi16(c.r, _mm512_setzero_si512());
        lo = _mm512_permutex2var_epi8(bg, i0, r0);
        hi = _mm512_permutex2var_epi8(bg, i1, r0);
    };
    __m512i lo, hi;
    for (; pairs >= 16; pairs -= 16, src += 64, dst += 128) {
        step(_mm512_loadu_si512(src), lo, hi);
        _mm512_storeu_si512(dst, lo);
        _mm512_storeu_si512(dst + 64, hi);
    }
    if (pairs > 0) {
        step(_mm512_maskz_loadu_epi8(mBytes(4 * pairs), src), lo, hi);
        const uint32_t bytes = 8 * pairs;
        _mm512_mask_storeu_epi8(dst, mBytes(bytes), lo);
        if (bytes > 64)
            _mm512_mask_storeu_epi8(dst + 64, mBytes(bytes - 64), hi);
    }
}

// Five bits of each component straight from the weighted sums: x >> 4 >> 3
// is x >> 7, and clamping the 8-bit value to 0..255 before dropping its low
// three bits is clamping x to 0..4095 before dropping seven. The clamp, with
// the component's offset folded in, is one saturating add and one saturating
// subtract (the weighted sums lie in -4845..12975, so only the wanted ends
// saturate); the shifts put each component in its place, green and red then
// masked.
void mToRGB16(const uint8_t *src, uint8_t *dst, uint32_t pairs)
{
    constexpr int16_t kBias = 32767 - 4095;
    const __m512i bias = _mm512_set1_epi16(kBias);
    const __m512i blueBias = _mm512_set1_epi16(kBias + kBlueOffset);
    const __m512i greenBias = _mm512_set1_epi16(kBias + kGreenOffset);
    const __m512i redBias = _mm512_set1_epi16(kBias + kRedOffset);
    const __m512i greenBits = _mm512_set1_epi16(0x03E0), redBits = _mm512_set1_epi16(0x7C00);
    const auto clamp = [&](__m512i x, __m512i withOffset) {
        return _mm512_subs_epu16(_mm512_adds_epi16(x, withOffset), bias);
    };
    const auto step = [&](__m512i in) {
        const Bgr32 w = mWeigh(in);
        // 0xF8: a | (b & c).
        const __m512i bg =
            _mm512_ternarylogic_epi32(_mm512_srli_epi16(clamp(w.b, blueBias), 7),
                                      _mm512_srli_epi16(clamp(w.g, greenBias), 2), greenBits, 0xF8);
        return _mm512_ternarylogic_epi32(bg, _mm512_slli_epi16(clamp(w.r, redBias), 3), redBits, 0xF8);
    };
    for (; pairs >= 16; pairs -= 16, src += 64, dst += 64)
        _mm512_storeu_si512(dst, step(_mm512_loadu_si512(src)));
    if (pairs > 0)
        _mm512_mask_storeu_epi8(dst, mBytes(4 * pairs),
                                step(_mm512_maskz_loadu_epi8(mBytes(4 * pairs), src)));
}

void mToUYVY(const uint8_t *src, uint8_t *dst, uint32_t pairs)
{
    const auto swap = [](__m512i x) {
        return _mm512_or_si512(_mm512_slli_epi16(x, 8), _mm512_srli_epi16(x, 8));
    };
    for (; pairs >= 16; pairs -= 16, src += 64, dst += 64)
        _mm512_storeu_si512(dst, swap(_mm512_loadu_si512(src)));
    if (pairs > 0) {
        const __mmask64 m = mBytes(4 * pairs);
        _mm512_mask_storeu_epi8(dst, m, swap(_mm512_maskz_loadu_epi8(m, src)));
    }
}

uint32_t mCountPairs(const uint8_t *p, uint32_t most)
{
    const __m512i lowBits = _mm512_set1_epi32(1);
    uint32_t run = 0;
    // Four vectors a step, so that their loads are in flight together.
    for (; run + 64 <= most; run += 64) {
        const uint8_t *q = p + 4 * size_t{run};
        _mm_prefetch(reinterpret_cast<const char *>(q + 768), _MM_HINT_T0);
        const uint64_t odd0 = _mm512_test_epi8_mask(_mm512_loadu_si512(q), lowBits);
        const uint64_t odd1 = _mm512_test_epi8_mask(_mm512_loadu_si512(q + 64), lowBits);
        const uint64_t odd2 = _mm512_test_epi8_mask(_mm512_loadu_si512(q + 128), lowBits);
        const uint64_t odd3 = _mm512_test_epi8_mask(_mm512_loadu_si512(q + 192), lowBits);
        if ((odd0 | odd1 | odd2 | odd3) != 0) {
            const uint64_t odd[4] = {odd0, odd1, odd2, odd3};
            uint32_t i = 0;
            while (odd[i] == 0)
                ++i;
            return run + 16 * i + static_cast<uint32_t>(__builtin_ctzll(odd[i])) / 4;
        }
    }
    for (; run + 16 <= most; run += 16) {
        const uint64_t odd = _mm512_test_epi8_mask(_mm512_loadu_si512(p + 4 * size_t{run}), lowBits);
        if (odd != 0)
            return run + static_cast<uint32_t>(__builtin_ctzll(odd)) / 4;
    }
    if (run < most) {
        const __m512i x = _mm512_maskz_loadu_epi8(mBytes(4 * (most - run)), p + 4 * size_t{run});
        const uint64_t odd = _mm512_test_epi8_mask(x, lowBits);
        if (odd != 0)
            return run + static_cast<uint32_t>(__builtin_ctzll(odd)) / 4;
    }
    return most;
}

constexpr Index64 mStrideIndex(uint32_t step, uint32_t first)
{
    Index64 r{};
    for (uint32_t j = 0; j < 64; ++j)
        r.v[j] = static_cast<uint8_t>((first + step * j) & 127);
    return r;
}

// The U samples of 32 pairs in the low half, their V samples in the high
// half: one permute gives both planes' bytes.
constexpr Index64 mChromaIndex()
{
    Index64 r{};
    for (uint32_t j = 0; j < 32; ++j) {
        r.v[j] = static_cast<uint8_t>(1 + 4 * j);
        r.v[32 + j] = static_cast<uint8_t>(3 + 4 * j);
    }
    return r;
}

constexpr Index64 kLuma = mStrideIndex(2, 0), kChroma = mChromaIndex();

// 32 pairs a step from two 64-byte loads.
void mToPlanar(const uint8_t *src, uint8_t *y, uint8_t *u, uint8_t *v, uint32_t pairs)
{
    const __m512i iy = mLoad(kLuma), iuv = mLoad(kChroma);
    for (; pairs >= 32; pairs -= 32, src += 128, y += 64) {
        const __m512i a = _mm512_loadu_si512(src), b = _mm512_loadu_si512(src + 64);
        _mm512_storeu_si512(y, _mm512_permutex2var_epi8(a, iy, b));
        if (u != nullptr) {
            const __m512i uv = _mm512_permutex2var_epi8(a, iuv, b);
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(u), _mm512_castsi512_si256(uv));
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(v), _mm512_extracti64x4_epi64(uv, 1));
            u += 32;
            v += 32;
        }
    }
    if (pairs > 0) {
        const uint32_t bytes = 4 * pairs;
        const __m512i a = _mm512_maskz_loadu_epi8(mBytes(bytes), src);
        const __m512i b =
            bytes > 64 ? _mm512_maskz_loadu_epi8(mBytes(bytes - 64), src + 64) : _mm512_setzero_si512();
        _mm512_mask_storeu_epi8(y, mBytes(2 * pairs), _mm512_permutex2var_epi8(a, iy, b));
        if (u != nullptr) {
            const __mmask32 m = static_cast<__mmask32>(mBytes(pairs));
            const __m512i uv = _mm512_permutex2var_epi8(a, iuv, b);
            _mm256_mask_storeu_epi8(u, m, _mm512_castsi512_si256(uv));
            _mm256_mask_storeu_epi8(v, m, _mm512_extracti64x4_epi64(uv, 1));
        }
    }
}

// The doubling filter in output order. Interior output byte m of a row
// (counted from output pixel 1) is m = 6k + s: its near input byte is 3k + s
// and its far one 3k + s + 3 when s < 3, else 3k + s - 3. Even rows weigh the
// near and far bytes of row a by 9 and 3 and those of row b by 3 and 1; odd
// rows the other way round. Output blocks of 64 bytes repeat their pattern
// every third block (192 output bytes for 96 input bytes); block t reads 64
// input bytes from 3 x floor(64t / 6).
//
// The permutes build (a, b) byte pairs for 32 lanes at once; lane 8L + q of
// the first half stands for output byte 16L + q and of the second half for
// 16L + 8 + q, the order packus puts them back in.
struct ResizeIndex {
    Index64 nearPairs[2], farPairs[2];
};

constexpr uint32_t mResizeBase(uint32_t t)
{
    return 3 * (64 * t / 6);
}

constexpr ResizeIndex mResizeIndex(uint32_t t)
{
    ResizeIndex r{};
    for (uint32_t half = 0; half < 2; ++half)
        for (uint32_t lane = 0; lane < 32; ++lane) {
            const uint32_t l = 16 * (lane / 8) + 8 * half + lane % 8;
            const uint32_t m = 64 * t + l, k = m / 6, s = m % 6;
            const uint32_t nearByte = 3 * k + s - mResizeBase(t);
            const uint32_t farByte = s < 3 ? nearByte + 3 : nearByte - 3;
            r.nearPairs[half].v[2 * lane] = static_cast<uint8_t>(nearByte);
            r.nearPairs[half].v[2 * lane + 1] = static_cast<uint8_t>(64 + nearByte);
            r.farPairs[half].v[2 * lane] = static_cast<uint8_t>(farByte);
            r.farPairs[half].v[2 * lane + 1] = static_cast<uint8_t>(64 + farByte);
        }
    return r;
}

constexpr ResizeIndex kResize[3] = {mResizeIndex(0), mResizeIndex(1), mResizeIndex(2)};

void mResizeRowPair(const uint8_t *a, const uint8_t *b, uint8_t *even, uint8_t *odd, size_t cols)
{
    const size_t inBytes = 3 * cols;
    const size_t outBytes = 6 * (cols - 1);
    even += 3;
    odd += 3;
    const __m512i w93 = _mm512_set1_epi16(0x0309), w39 = _mm512_set1_epi16(0x0903);
    const __m512i w31 = _mm512_set1_epi16(0x0103), w13 = _mm512_set1_epi16(0x0301);
    const __m512i round = _mm512_set1_epi16(8);
    for (size_t t = 0, out = 0; out < outBytes; ++t, out += 64) {
        const ResizeIndex &index = kResize[t % 3];
        const size_t base = 96 * (t / 3) + mResizeBase(static_cast<uint32_t>(t % 3));
        const __mmask64 in = mBytes(static_cast<uint32_t>(inBytes - base < 64 ? inBytes - base : 64));
        const __m512i rowA = _mm512_maskz_loadu_epi8(in, a + base);
        const __m512i rowB = _mm512_maskz_loadu_epi8(in, b + base);
        __m512i evenHalf[2], oddHalf[2];
        for (int h = 0; h < 2; ++h) {
            const __m512i nearPairs = _mm512_permutex2var_epi8(rowA, mLoad(index.nearPairs[h]), rowB);
            const __m512i farPairs = _mm512_permutex2var_epi8(rowA, mLoad(index.farPairs[h]), rowB);
            evenHalf[h] =
                _mm512_srli_epi16(_mm512_add_epi16(_mm512_add_epi16(_mm512_maddubs_epi16(nearPairs, w93),
                                                                    _mm512_maddubs_epi16(farPairs, w31)),
                                                   round),
                                  4);
            oddHalf[h] =
                _mm512_srli_epi16(_mm512_add_epi16(_mm512_add_epi16(_mm512_maddubs_epi16(nearPairs, w39),
                                                                    _mm512_maddubs_epi16(farPairs, w13)),
                                                   round),
                                  4);
        }
        const size_t left = outBytes - out;
        const __mmask64 store = mBytes(static_cast<uint32_t>(left < 64 ? left : 64));
        _mm512_mask_storeu_epi8(even + out, store, _mm512_packus_epi16(evenHalf[0], evenHalf[1]));
        _mm512_mask_storeu_epi8(odd + out, store, _mm512_packus_epi16(oddHalf[0], oddHalf[1]));
    }
}

} // namespace

const RowKernels RowKernels_Avx512 = {"avx512-vbmi", mToRGB32,    mToRGB24,     mToRGB16,      mToUYVY,
                                      mToPlanar,     mCountPairs, mToRGB24Sent, mResizeRowPair};

} // namespace zm4::decode
