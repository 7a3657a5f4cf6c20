// Switches of the decoder that tests, benchmarks and the driver's host use:
// forcing the plain reference paths, forcing the table form of RGB24, and the
// allocator for the decoder's one allocation (the driver routes it to its pool).
#pragma once

#include <cstddef>
#include <cstdint>

// 1: every writer and converter uses the plain per-pair reference code, even
// where a vectorised or batched path exists. Default 0.
void Decode_ForceReferencePath(uint32_t on);
// Row kernels of an instruction-set level: 0 baseline (SSE2 on x86-64), 1
// AVX2, 2 AVX-512 (F, BW, VL, VBMI); lowered to what the processor has.
// Decode_IsaBest, the default, picks the highest. Takes effect at once and
// returns the level now in use. ZM4_DECODE_ISA in the environment ("baseline",
// "avx2", "avx512") forces a level at InitDecode, ZM4_DECODE_REFERENCE=1 the
// reference paths.
constexpr uint32_t Decode_IsaBest = 0xFFFFFFFFu;
uint32_t Decode_ForceIsa(uint32_t isa);
// The highest level the processor has, and the name of the kernels in use.
uint32_t Decode_SupportedIsa();
const char *Decode_IsaName();

// 1: behave as if the processor had no MMX, so RGB24 uses the table form.
// Takes effect at the next InitDecode. Default 0.
void Decode_ForceNoMmx(uint32_t on);

// The decoder's one allocation (the line image) goes through these. Defaults:
// malloc and free. The tag is the pool tag the driver allocates with.
using Decode_AllocateRoutine = void *(*)(size_t bytes, uint32_t tag);
using Decode_FreeRoutine = void (*)(void *block);
void Decode_SetAllocator(Decode_AllocateRoutine allocate, Decode_FreeRoutine release);
