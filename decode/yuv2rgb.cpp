// YUV to RGB conversion of the camera's pixel pairs. Fixed point with 4
// fractional bits: luma x 19/16, blue + 32/16 U, green - 6/16 U - 13/16 V,
// red + 26/16 V. The vector form reproduces the direct form exactly; the table
// form (used without MMX) keeps its historical brighter, redder rendering.
#include "decode/yuv2rgb.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zm4::decode {

int16_t butbl[256];
int16_t yvaltbl[256];
int16_t guvtbl[65536];
int16_t rvtbl[256];
uint32_t hasmmx;

void SetupTables()
{
    for (int i = 0; i < 256; ++i) {
        butbl[i] = static_cast<int16_t>(32 * (i - 128));
        rvtbl[i] = static_cast<int16_t>(28 * (i - 128));
        yvaltbl[i] = static_cast<int16_t>(19 * i);
    }
    for (int u = 0; u < 256; ++u)
        for (int v = 0; v < 256; ++v)
            guvtbl[u * 256 + v] = static_cast<int16_t>(-6 * u - 13 * v + 2432);
}

uint32_t CPUcaps()
{
#if defined(__x86_64__) || defined(__i386__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    // __get_cpuid first checks that function 1 exists, so a processor without
    // it reads as having no MMX rather than faulting.
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0)
        return 0;
    return (edx >> 23) & 1u;
#else
    return 0;
#endif
}

// A fixed-point value to an 8-bit component: below zero is black, 256.0 and
// above is full scale.
static inline uint8_t mClamp(int32_t x)
{
    if (x < 0)
        return 0;
    if (x >= 4096)
        return 255;
    return static_cast<uint8_t>(x >> 4);
}

// One pixel of the direct form: B, G, R from luma Y and the pair's chroma.
static inline void mDirectPixel(int32_t luma, int32_t u, int32_t v, uint8_t *bgr)
{
    const int32_t y = 19 * (luma - 16);
    bgr[0] = mClamp(y + 32 * u);
    bgr[1] = mClamp(y - 6 * u - 13 * v);
    bgr[2] = mClamp(y + 26 * v);
}

static inline void mDirectPair(uint8_t y0, uint8_t y1, uint8_t cu, uint8_t cv, uint8_t *bgr0, uint8_t *bgr1)
{
    const int32_t u = cu - 128;
    const int32_t v = cv - 128;
    mDirectPixel(y0, u, v, bgr0);
    mDirectPixel(y1, u, v, bgr1);
}

void YUVPixeltoRGB32(const uint8_t *src, uint8_t *dst)
{
    mDirectPair(src[0], src[2], src[1], src[3], dst, dst + 4);
    dst[3] = 0;
    dst[7] = 0;
}

void YUV420PixeltoRGB32(uint16_t c, const uint8_t *src, uint8_t *dst)
{
    const uint8_t *above = src - c;
    mDirectPair(src[0], src[2], above[1], above[3], dst, dst + 4);
    dst[3] = 0;
    dst[7] = 0;
}

void YUV420PixeltoRGB24(uint16_t c, const uint8_t *src, uint8_t *dst)
{
    const uint8_t *above = src - c;
    mDirectPair(src[0], src[2], above[1], above[3], dst, dst + 3);
}

uint16_t ConvertRGB24PixelToRGB16(uint8_t blue, uint8_t green, uint8_t red)
{
    return static_cast<uint16_t>(((red >> 3) << 10) | ((green >> 3) << 5) | (blue >> 3));
}

static inline void mPackRGB16(const uint8_t *bgr0, const uint8_t *bgr1, uint16_t *dst)
{
    dst[0] = ConvertRGB24PixelToRGB16(bgr0[0], bgr0[1], bgr0[2]);
    dst[1] = ConvertRGB24PixelToRGB16(bgr1[0], bgr1[1], bgr1[2]);
}

void YUVPixeltoRGB16(const uint8_t *src, uint16_t *dst)
{
    uint8_t bgr[6];
    mDirectPair(src[0], src[2], src[1], src[3], bgr, bgr + 3);
    mPackRGB16(bgr, bgr + 3, dst);
}

void YUV420PixeltoRGB16(uint16_t c, const uint8_t *src, uint16_t *dst)
{
    const uint8_t *above = src - c;
    uint8_t bgr[6];
    mDirectPair(src[0], src[2], above[1], above[3], bgr, bgr + 3);
    mPackRGB16(bgr, bgr + 3, dst);
}

void YUVPixeltoRGB24Table(const uint8_t *src, uint8_t *dst)
{
    const int32_t bu = butbl[src[1]];
    const int32_t guv = guvtbl[src[1] * 256 + src[3]];
    const int32_t rv = rvtbl[src[3]];
    const int32_t y0 = yvaltbl[src[0]];
    const int32_t y1 = yvaltbl[src[2]];
    dst[0] = mClamp(y0 + bu);
    dst[1] = mClamp(y0 + guv);
    dst[2] = mClamp(y0 + rv);
    dst[3] = mClamp(y1 + bu);
    dst[4] = mClamp(y1 + guv);
    dst[5] = mClamp(y1 + rv);
}

#if defined(__SSE2__)

static inline __m128i mLanes(uint64_t constant)
{
    return _mm_cvtsi64_si128(static_cast<long long>(constant));
}

// The lane algorithm on the low 64 bits of a vector register. The SSE
// registers share no state with the x87 unit, so unlike MMX nothing has to be
// released after a pair.
void YUVPixeltoRGB24MMX(const uint8_t *src, uint8_t *dst)
{
    int32_t word;
    std::memcpy(&word, src, 4);
    const __m128i zero = mLanes(zeros);
    // (Y0, U, Y1, V) -> (19 y0, u, 19 y1, v)
    __m128i x = _mm_unpacklo_epi8(_mm_cvtsi32_si128(word), zero);
    x = _mm_sub_epi16(x, mLanes(fudge601));
    x = _mm_sub_epi16(x, mLanes(uvmask));
    x = _mm_mullo_epi16(x, mLanes(nineteenmul));
    // (32u, 0, 26v, 0)
    __m128i burv = _mm_and_si128(_mm_slli_epi16(x, 5), mLanes(shiftufivemask));
    burv = _mm_or_si128(burv, _mm_and_si128(x, mLanes(clearu)));
    burv = _mm_mullo_epi16(burv, mLanes(twentysixmul));
    burv = _mm_and_si128(_mm_srli_epi64(burv, 16), mLanes(burvmsk));
    // (0, -(6u + 13v), 0, 0)
    __m128i g = _mm_mullo_epi16(x, mLanes(sixthirteenmul));
    g = _mm_add_epi16(g, _mm_srli_epi64(g, 32));
    g = _mm_and_si128(_mm_sub_epi16(zero, g), mLanes(guvmsk1));
    const __m128i chroma = _mm_or_si128(burv, g);
    // 19 y0 and 19 y1 spread over lanes 0 to 2
    __m128i y0 = _mm_and_si128(x, mLanes(ymask));
    y0 = _mm_or_si128(y0, _mm_or_si128(_mm_slli_epi64(y0, 16), _mm_slli_epi64(y0, 32)));
    __m128i y1 = _mm_srli_epi64(_mm_and_si128(x, mLanes(y2mask)), 32);
    y1 = _mm_or_si128(y1, _mm_or_si128(_mm_slli_epi64(y1, 16), _mm_slli_epi64(y1, 32)));
    const __m128i p0 = _mm_srai_epi16(_mm_add_epi16(chroma, y0), 4);
    const __m128i p1 = _mm_srai_epi16(_mm_add_epi16(chroma, y1), 4);
    // bytes 0-3: B0 G0 R0 0, bytes 8-11: B1 G1 R1 0; move pixel 1 to bytes 3-5
    __m128i packed = _mm_packus_epi16(p0, p1);
    packed = _mm_or_si128(packed, _mm_srli_si128(packed, 5));
    const uint64_t six = static_cast<uint64_t>(_mm_cvtsi128_si64(packed)) & ~keeptrail;
    // Only the six bytes of the pair are stored: the pair may end the buffer.
    std::memcpy(dst, &six, 6);
}

#else

// The same lane algorithm in plain 16-bit arithmetic for processors without
// the vector unit.
static inline void mLanesFrom(uint64_t constant, int16_t lane[4])
{
    for (int i = 0; i < 4; ++i)
        lane[i] = static_cast<int16_t>(static_cast<uint16_t>(constant >> (16 * i)));
}

void YUVPixeltoRGB24MMX(const uint8_t *src, uint8_t *dst)
{
    int16_t fudge[4], uvm[4], nineteen[4], six13[4], twentysix[4];
    mLanesFrom(fudge601, fudge);
    mLanesFrom(uvmask, uvm);
    mLanesFrom(nineteenmul, nineteen);
    mLanesFrom(sixthirteenmul, six13);
    mLanesFrom(twentysixmul, twentysix);
    int32_t x[4];
    for (int i = 0; i < 4; ++i)
        x[i] = (src[i] - fudge[i] - uvm[i]) * nineteen[i];
    const int32_t scaledV = x[3] * twentysix[3];
    const int32_t chroma[3] = {32 * x[1], -(x[1] * six13[1] + x[3] * six13[3]), scaledV};
    uint8_t out[6];
    for (int c = 0; c < 3; ++c) {
        out[c] = mClamp(chroma[c] + x[0]);
        out[3 + c] = mClamp(chroma[c] + x[2]);
    }
    std::memcpy(dst, out, 6);
}

#endif

} // namespace zm4::decode
