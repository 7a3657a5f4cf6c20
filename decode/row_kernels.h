// Row kernels: the batched forms of the pair writers and of the resize, one
// set per instruction-set level, chosen once by processor features. Each
// kernel writes exactly the bytes the plain per-pair (or per-byte) reference
// code writes for the same run, and nothing outside it, so a compressed row
// can hand any run of pairs to it. The kernel files include nothing but this
// header and the intrinsics, so no code built for a wider instruction set can
// leak into the rest of the library.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace zm4::decode {

// Instruction-set levels, each including the ones below it.
enum : uint32_t {
    DecodeIsa_Baseline = 0, // SSE2 on x86-64, plain C++ elsewhere
    DecodeIsa_Avx2 = 1,
    DecodeIsa_Avx512 = 2, // AVX-512 F, BW, VL and VBMI
};

struct RowKernels {
    const char *name;
    // `pairs` camera pairs (Y0 U Y1 V) at src to 2 x pairs pixels at dst.
    void (*toRGB32)(const uint8_t *src, uint8_t *dst, uint32_t pairs);
    void (*toRGB24)(const uint8_t *src, uint8_t *dst, uint32_t pairs);
    void (*toRGB16)(const uint8_t *src, uint8_t *dst, uint32_t pairs);
    void (*toUYVY)(const uint8_t *src, uint8_t *dst, uint32_t pairs);
    // Luma to y (2 bytes a pair); one U and one V sample a pair to u and v
    // unless u is null (odd rows carry no chroma into the planes).
    void (*toPlanar)(const uint8_t *src, uint8_t *y, uint8_t *u, uint8_t *v, uint32_t pairs);
    // How many of the next `most` items at p (4 bytes apart) start with an
    // even byte, that is are pixel pairs, before the first skip code or
    // end-of-line marker. Reads the 4 x `most` bytes from p at most.
    uint32_t (*countPairs)(const uint8_t *p, uint32_t most);
    // Of `pairs` slots of 4 bytes at src, those whose first byte is even
    // (pairs the camera sent; an odd first byte marks a slot it skipped) to
    // RGB24 at their places in dst; skipped slots leave dst alone. Null: the
    // level has none, and scattered lines are converted gathered instead.
    void (*toRGB24Sent)(const uint8_t *src, uint8_t *dst, uint32_t pairs);
    // The doubling filter for input rows a (row i) and b (row i - 1) of `cols`
    // 3-byte pixels: output pixels 1 to 2 cols - 2 of rows even (2i) and odd
    // (2i - 1), which point at pixel 0 of their rows. cols >= 2. Null: the
    // baseline's.
    void (*resizeRowPair)(const uint8_t *a, const uint8_t *b, uint8_t *even, uint8_t *odd, size_t cols);
};

extern const RowKernels RowKernels_Baseline;
#if defined(ZM4_DECODE_X86_KERNELS)
extern const RowKernels RowKernels_Avx2;
extern const RowKernels RowKernels_Avx512;
#endif

// The highest level the processor (and the build) supports.
uint32_t RowKernels_Supported();
// The kernels of a level, lowered to what is supported.
const RowKernels *RowKernels_For(uint32_t isa);
// The kernels in use (the best supported unless a level was forced).
const RowKernels *RowKernels_Current();

} // namespace zm4::decode
