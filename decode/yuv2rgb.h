// YUV to RGB conversion of the camera's pixel pairs (Y0, U, Y1, V), in fixed
// point with 4 fractional bits: the direct form, the vector ("MMX") form that
// must equal it, and the table form used when the processor has no MMX.
#pragma once

#include <cstdint>

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
void YUV420PixeltoRGB16(uint16_t c, const uint8_t *src, uint16_t *dst);
uint16_t ConvertRGB24PixelToRGB16(uint8_t blue, uint8_t green, uint8_t red);
