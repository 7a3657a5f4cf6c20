// Doubles a packed 24-bit image in place (rows x cols pixels, stride 3 x cols)
// with a two-phase bilinear filter, for the RGB24 outputs above 352 x 288.
#pragma once

#include <cstdint>

// The buffer must hold 2 x rows x 2 x cols pixels of 3 bytes.
void Resize_by_2_PolyPhase(uint8_t *buffer, uint32_t rows, uint32_t cols);
