// RGB32 writers: bottom-up rows of B, G, R, 0 pixels, 4 bytes each.
#include <cstring>

#include "decode/colour_formatter.h"
#include "decode/decoder_state.h"
#include "decode/row_kernels.h"
#include "decode/yuv2rgb.h"

namespace zm4::decode {

uint16_t RGB32_Cols, RGB32_Rows;
int32_t RGB32_PreviousLineOffset;
uint8_t *RGB32_Ptr;

static constexpr uint32_t kBytesPerPixel = 4;

uint32_t RGB32_SetupBufferDimensions(uint16_t width, uint16_t height)
{
    RGB32_Cols = static_cast<uint16_t>(hostyuvcols / 2);
    RGB32_Rows = hostyuvrows;
    const int32_t stride = static_cast<int32_t>(RGB32_Cols * kBytesPerPixel);
    RGB32_PreviousLineOffset = RGB32_Inverted ? stride : -stride;
    return width == RGB32_Cols && height == RGB32_Rows;
}

void RGB32_SetupBufferPointers(uint16_t row, uint8_t *output)
{
    const size_t line = RGB32_Inverted ? size_t{RGB32_Rows} - 1 - row : row;
    RGB32_Ptr = output + line * RGB32_Cols * kBytesPerPixel;
}

void RGB32_Copy8PixelsFromPreviousLine()
{
    std::memcpy(RGB32_Ptr, RGB32_Ptr + RGB32_PreviousLineOffset, 8 * kBytesPerPixel);
    RGB32_Ptr += 8 * kBytesPerPixel;
}

void RGB32_MakePixelPairFrom422(const uint8_t *src)
{
    YUVPixeltoRGB32(src, RGB32_Ptr);
    RGB32_Ptr += 2 * kBytesPerPixel;
}

void RGB32_MakePixelPairFrom420(const uint8_t *src)
{
    YUV420PixeltoRGB32(hostyuvcols, src, RGB32_Ptr);
    RGB32_Ptr += 2 * kBytesPerPixel;
}

void RGB32_SkipBytes(uint16_t k, uint8_t evenLine)
{
    (void)evenLine;
    RGB32_Ptr += 2 * size_t{k};
}

void RGB32_MakeRowFrom422(const uint8_t *src, uint32_t pairs)
{
    RowKernels_Current()->toRGB32(src, RGB32_Ptr, pairs);
    RGB32_Ptr += size_t{pairs} * 2 * kBytesPerPixel;
}

} // namespace zm4::decode
