// Baseline row kernels: SSE2 on x86-64 (every such processor has it), plain
// C++ elsewhere; also the processor check that picks the wider sets.
#include <atomic>

#include "decode/row_kernels.h"
#include "decode/yuv2rgb.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zm4::decode {

static inline void mStoreUYVYPair(const uint8_t *src, uint8_t *dst)
{
    dst[0] = src[1];
    dst[1] = src[0];
    dst[2] = src[3];
    dst[3] = src[2];
}

static inline void mStorePlanarPair(const uint8_t *src, uint8_t *y, uint8_t *u, uint8_t *v)
{
    y[0] = src[0];
    y[1] = src[2];
    if (u != nullptr) {
        *u = src[1];
        *v = src[3];
    }
}

// Four pairs (eight pixels) per step in 16-bit lanes: the same integer
// arithmetic as the direct form, and no lane leaves the signed 16-bit range
// (y + 32u lies in -4400..8605), so the bytes are the same.
#if defined(__SSE2__)

namespace {

struct Bgr8 {
    __m128i b, g, r; // eight components each, one per 16-bit lane, already clamped to 0..255
};

inline Bgr8 mConvert8(const uint8_t *src)
{
    const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src));
    const __m128i lowByte = _mm_set1_epi16(0x00FF);
    // Lanes in pixel order: luma Y0 Y1 Y0 Y1 ..., chroma U V U V ...
    const __m128i luma = _mm_and_si128(raw, lowByte);
    const __m128i chroma = _mm_srli_epi16(raw, 8);
    const __m128i cu = _mm_and_si128(chroma, _mm_set1_epi32(0x0000FFFF));
    const __m128i cv = _mm_srli_epi32(chroma, 16);
    const __m128i u = _mm_sub_epi16(_mm_or_si128(cu, _mm_slli_epi32(cu, 16)), _mm_set1_epi16(128));
    const __m128i v = _mm_sub_epi16(_mm_or_si128(cv, _mm_slli_epi32(cv, 16)), _mm_set1_epi16(128));
    const __m128i y = _mm_mullo_epi16(_mm_sub_epi16(luma, _mm_set1_epi16(16)), _mm_set1_epi16(19));
    const __m128i green =
        _mm_add_epi16(_mm_mullo_epi16(u, _mm_set1_epi16(6)), _mm_mullo_epi16(v, _mm_set1_epi16(13)));
    const __m128i zero = _mm_setzero_si128();
    // Shift, then saturate to bytes and back: the clamp of the direct form.
    auto clamp = [zero](__m128i x) {
        return _mm_unpacklo_epi8(_mm_packus_epi16(_mm_srai_epi16(x, 4), zero), zero);
    };
    return {clamp(_mm_add_epi16(y, _mm_slli_epi16(u, 5))), clamp(_mm_sub_epi16(y, green)),
            clamp(_mm_add_epi16(y, _mm_mullo_epi16(v, _mm_set1_epi16(26))))};
}

} // namespace

static void mToRGB32(const uint8_t *src, uint8_t *dst, uint32_t pairs)
{
    uint32_t i = 0;
    for (; i + 4 <= pairs; i += 4, src += 16, dst += 32) {
        const Bgr8 c = mConvert8(src);
        const __m128i bg = _mm_or_si128(c.b, _mm_slli_epi16(c.g, 8)); // B G per pixel
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), _mm_unpacklo_epi16(bg, c.r));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 16), _mm_unpackhi_epi16(bg, c.r));
    }
    for (; i < pairs; ++i, src += 4, dst += 8)
        YUVPixeltoRGB32(src, dst);
}

static void mToRGB16(const uint8_t *src, uint8_t *dst, uint32_t pairs)
{
    uint32_t i = 0;
    for (; i + 4 <= pairs; i += 4, src += 16, dst += 16) {
        const Bgr8 c = mConvert8(src);
        const __m128i words = _mm_or_si128(_mm_or_si128(_mm_slli_epi16(_mm_srli_epi16(c.r, 3), 10),
                                                        _mm_slli_epi16(_mm_srli_epi16(c.g, 3), 5)),
                                           _mm_srli_epi16(c.b, 3));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), words); // x86 is little-endian
    }
    for (; i < pairs; ++i, src += 4, dst += 4)
        YUVPixeltoRGB16Bytes(src, dst);
}

static void mToRGB24(const uint8_t *src, uint8_t *dst, uint32_t pairs)
{
    uint32_t i = 0;
    for (; i + 4 <= pairs; i += 4, src += 16, dst += 24) {
        const Bgr8 c = mConvert8(src);
        alignas(16) uint16_t b[8], g[8], r[8];
        _mm_store_si128(reinterpret_cast<__m128i *>(b), c.b);
        _mm_store_si128(reinterpret_cast<__m128i *>(g), c.g);
        _mm_store_si128(reinterpret_cast<__m128i *>(r), c.r);
        for (int k = 0; k < 8; ++k) {
            dst[3 * k] = static_cast<uint8_t>(b[k]);
            dst[3 * k + 1] = static_cast<uint8_t>(g[k]);
            dst[3 * k + 2] = static_cast<uint8_t>(r[k]);
        }
    }
    for (; i < pairs; ++i, src += 4, dst += 6)
        YUVPixeltoRGB24MMX(src, dst);
}

// UYVY is YUY2 with the bytes of every 16-bit word swapped.
static void mToUYVY(const uint8_t *src, uint8_t *dst, uint32_t pairs)
{
    uint32_t i = 0;
    for (; i + 4 <= pairs; i += 4, src += 16, dst += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst),
                         _mm_or_si128(_mm_slli_epi16(x, 8), _mm_srli_epi16(x, 8)));
    }
    for (; i < pairs; ++i, src += 4, dst += 4)
        mStoreUYVYPair(src, dst);
}

static void mToPlanar(const uint8_t *src, uint8_t *y, uint8_t *u, uint8_t *v, uint32_t pairs)
{
    const __m128i lowByte = _mm_set1_epi16(0x00FF);
    uint32_t i = 0;
    for (; i + 8 <= pairs; i += 8, src += 32, y += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 16));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(y),
                         _mm_packus_epi16(_mm_and_si128(a, lowByte), _mm_and_si128(b, lowByte)));
        if (u != nullptr) {
            const __m128i uv = _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
            const __m128i zero = _mm_setzero_si128();
            _mm_storel_epi64(reinterpret_cast<__m128i *>(u),
                             _mm_packus_epi16(_mm_and_si128(uv, lowByte), zero));
            _mm_storel_epi64(reinterpret_cast<__m128i *>(v), _mm_packus_epi16(_mm_srli_epi16(uv, 8), zero));
            u += 8;
            v += 8;
        }
    }
    for (; i < pairs; ++i, src += 4, y += 2) {
        mStorePlanarPair(src, y, u, v);
        if (u != nullptr) {
            ++u;
            ++v;
        }
    }
}

#else

static void mToRGB32(const uint8_t *src, uint8_t *dst, uint32_t pairs)
{
    for (uint32_t i = 0; i < pairs; ++i, src += 4, dst += 8)
        YUVPixeltoRGB32(src, dst);
}

static void mToRGB16(const uint8_t *src, uint8_t *dst, uint32_t pairs)
{
    for (uint32_t i = 0; i < pairs; ++i, src += 4, dst += 4)
        YUVPixeltoRGB16Bytes(src, dst);
}

static void mToRGB24(const uint8_t *src, uint8_t *dst, uint32_t pairs)
{
    for (uint32_t i = 0; i < pairs; ++i, src += 4, dst += 6)
        YUVPixeltoRGB24MMX(src, dst);
}

static void mToUYVY(const uint8_t *src, uint8_t *dst, uint32_t pairs)
{
    for (uint32_t i = 0; i < pairs; ++i, src += 4, dst += 4)
        mStoreUYVYPair(src, dst);
}

static void mToPlanar(const uint8_t *src, uint8_t *y, uint8_t *u, uint8_t *v, uint32_t pairs)
{
    for (uint32_t i = 0; i < pairs; ++i, src += 4, y += 2) {
        mStorePlanarPair(src, y, u, v);
        if (u != nullptr) {
            ++u;
            ++v;
        }
    }
}

#endif

static uint32_t mCountPairs(const uint8_t *p, uint32_t most)
{
    uint32_t run = 0;
#if defined(__SSE2__)
    // Four pairs a step: the low bit of each pair's first byte.
    for (; run + 4 <= most; run += 4) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 4 * size_t{run}));
        const uint32_t odd = static_cast<uint32_t>(_mm_movemask_epi8(_mm_slli_epi16(x, 7))) & 0x1111u;
        if (odd != 0)
            return run + static_cast<uint32_t>(__builtin_ctz(odd)) / 4;
    }
#endif
    while (run < most && (p[4 * size_t{run}] & 1) == 0)
        ++run;
    return run;
}

// With A = row i and B = row i - 1, the vertical sums 3A + B and 3B + A give
// each output byte as (3 x near sum + far sum + 8) >> 4, the weights 9, 3, 3,
// 1. The four rows never overlap (the caller's order sees to it), which lets
// the compiler vectorise.
static void mResizeRowPair(const uint8_t *__restrict a, const uint8_t *__restrict b, uint8_t *__restrict even,
                           uint8_t *__restrict odd, size_t cols)
{
    constexpr size_t px = 3;
    for (size_t j = 1; j < cols; ++j) {
        const uint8_t *pa = a + j * px, *la = pa - px; // P and L; U and D below
        const uint8_t *pb = b + j * px, *lb = pb - px;
        uint8_t *pe = even + 2 * j * px, *le = pe - px; // output pixels 2j and 2j - 1
        uint8_t *po = odd + 2 * j * px, *lo = po - px;
        for (size_t c = 0; c < px; ++c) {
            const uint32_t nearRow = 3u * pa[c] + pb[c];     // 3P + U
            const uint32_t nearRowLeft = 3u * la[c] + lb[c]; // 3L + D
            const uint32_t farRow = 3u * pb[c] + pa[c];      // 3U + P
            const uint32_t farRowLeft = 3u * lb[c] + la[c];  // 3D + L
            pe[c] = static_cast<uint8_t>((3 * nearRow + nearRowLeft + 8) >> 4);
            le[c] = static_cast<uint8_t>((3 * nearRowLeft + nearRow + 8) >> 4);
            po[c] = static_cast<uint8_t>((3 * farRow + farRowLeft + 8) >> 4);
            lo[c] = static_cast<uint8_t>((3 * farRowLeft + farRow + 8) >> 4);
        }
    }
}

const RowKernels RowKernels_Baseline = {
#if defined(__SSE2__)
    "sse2",
#else
    "portable",
#endif
    mToRGB32, mToRGB24, mToRGB16, mToUYVY, mToPlanar, mCountPairs, nullptr, mResizeRowPair};

uint32_t RowKernels_Supported()
{
#if defined(ZM4_DECODE_X86_KERNELS)
    // The compiler's check includes the operating system's saving of the
    // wider registers.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi"))
        return DecodeIsa_Avx512;
    if (__builtin_cpu_supports("avx2"))
        return DecodeIsa_Avx2;
#endif
    return DecodeIsa_Baseline;
}

const RowKernels *RowKernels_For(uint32_t isa)
{
    const uint32_t supported = RowKernels_Supported();
    if (isa > supported)
        isa = supported;
#if defined(ZM4_DECODE_X86_KERNELS)
    if (isa == DecodeIsa_Avx512)
        return &RowKernels_Avx512;
    if (isa == DecodeIsa_Avx2)
        return &RowKernels_Avx2;
#endif
    return &RowKernels_Baseline;
}

} // namespace zm4::decode
