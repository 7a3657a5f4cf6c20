// YUV to RGB conversion of the camera's pixel pairs (Y0, U, Y1, V), in fixed
// point with 4 fractional bits: the direct form, the vector ("MMX") form that
// must equal it, and the table form used when the processor has no MMX.
#pragma once

#include <cstdint>

namespace zm4::decode {

// Process-wide lookup tables, filled once by SetupTables.
extern int16_t butbl[256];
extern int16_t yvaltbl[256];
extern int16_t guvtbl[65536];
extern int16_t rvtbl[256];
// Set by InitDecode from CPUcaps (and Decode_ForceNoMmx); selects the RGB24 pair writer.
extern uint32_t hasmmx;

void SetupTables();
uint32_t CPUcaps();

void YUVPixeltoRGB32(const uint8_t *src, uint8_t *dst);
void YUV420PixeltoRGB32(uint16_t c, const uint8_t *src, uint8_t *dst);
void YUVPixeltoRGB24MMX(const uint8_t *src, uint8_t *dst);
void YUVPixeltoRGB24Table(const uint8_t *src, uint8_t *dst);
void YUV420PixeltoRGB24(uint16_t c, const uint8_t *src, uint8_t *dst);
void YUVPixeltoRGB16(const uint8_t *src, uint16_t *dst);
// The same pair as the four bytes of an RGB16 image (little-endian words, at
// any alignment): what the row kernels and the planned lines store.
inline void YUVPixeltoRGB16Bytes(const uint8_t *src, uint8_t *dst)
{
    uint16_t words[2];
    YUVPixeltoRGB16(src, words);
    dst[0] = static_cast<uint8_t>(words[0]);
    dst[1] = static_cast<uint8_t>(words[0] >> 8);
    dst[2] = static_cast<uint8_t>(words[1]);
    dst[3] = static_cast<uint8_t>(words[1] >> 8);
}
void YUV420PixeltoRGB16(uint16_t c, const uint8_t *src, uint16_t *dst);
uint16_t ConvertRGB24PixelToRGB16(uint8_t blue, uint8_t green, uint8_t red);

// Constants of the vector form: four 16-bit lanes, the lowest lane in the
// lowest bits; a pixel pair is unpacked to the lanes (Y0, U, Y1, V).
inline constexpr uint64_t fudge601 = 0x0000001000000010ull;       // 16, 0, 16, 0: luma offset
inline constexpr uint64_t uvmask = 0x0080000000800000ull;         // 0, 128, 0, 128: chroma offset
inline constexpr uint64_t nineteenmul = 0x0001001300010013ull;    // 19, 1, 19, 1: luma gain
inline constexpr uint64_t shiftufivemask = 0x00000000FFFF0000ull; // picks the U lane (32u)
inline constexpr uint64_t clearu = 0xFFFFFFFF0000FFFFull;         // clears the U lane
inline constexpr uint64_t twentysixmul = 0x001A000100010001ull;   // 1, 1, 1, 26: red gain on V
inline constexpr uint64_t sixthirteenmul = 0x000D000100060001ull; // 1, 6, 1, 13: green gains
inline constexpr uint64_t burvmsk = 0x0000FFFF0000FFFFull;        // keeps the blue and red terms
inline constexpr uint64_t guvmsk1 = 0x00000000FFFF0000ull;        // keeps the green term
inline constexpr uint64_t ymask = 0x000000000000FFFFull;          // picks scaled Y0
inline constexpr uint64_t y2mask = 0x0000FFFF00000000ull;         // picks scaled Y1
inline constexpr uint64_t keeptrail = 0xFFFF000000000000ull;      // the two bytes after the six written
inline constexpr uint64_t zeros = 0;

} // namespace zm4::decode
