// Switches of the decoder that tests, benchmarks and the driver's host use:
// forcing the plain reference paths, forcing the table form of RGB24, and the
// allocator for the decoder's one allocation (the driver routes it to its pool).
#pragma once

#include <cstddef>
#include <cstdint>

// 1: every writer and converter uses the plain per-pair reference code, even
// where a vectorised or batched path exists. Default 0.
void Decode_ForceReferencePath(uint32_t on);
// 1: behave as if the processor had no MMX, so RGB24 uses the table form.
// Takes effect at the next InitDecode. Default 0.
void Decode_ForceNoMmx(uint32_t on);

// The decoder's one allocation (the line image) goes through these. Defaults:
// malloc and free. The tag is the pool tag the driver allocates with.
using Decode_AllocateRoutine = void *(*)(size_t bytes, uint32_t tag);
using Decode_FreeRoutine = void (*)(void *block);
void Decode_SetAllocator(Decode_AllocateRoutine allocate, Decode_FreeRoutine release);
