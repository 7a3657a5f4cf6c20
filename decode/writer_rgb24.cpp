// RGB24 writers: bottom-up rows of B, G, R pixels, 3 bytes each, no padding.
// The pair writer is the vector form when the processor has MMX, else the
// table form; both write exactly the six bytes of the pair.
#include <cstring>

#include "decode/colour_formatter.h"
#include "decode/decoder_state.h"
#include "decode/row_kernels.h"
#include "decode/yuv2rgb.h"

namespace zm4::decode {

uint16_t RGB24_Cols, RGB24_Rows;
int32_t RGB24_PreviousLineOffset;
uint8_t *RGB24_Ptr;

static constexpr uint32_t kBytesPerPixel = 3;

uint32_t RGB24_SetupBufferDimensions(uint16_t width, uint16_t height)
{
    RGB24_Cols = static_cast<uint16_t>(hostyuvcols / 2);
    RGB24_Rows = hostyuvrows;
    const int32_t stride = static_cast<int32_t>(RGB24_Cols * kBytesPerPixel);
    RGB24_PreviousLineOffset = RGB24_Inverted ? stride : -stride;
    return width == RGB24_Cols && height == RGB24_Rows;
}

void RGB24_SetupBufferPointers(uint16_t row, uint8_t *output)
{
    const size_t line = RGB24_Inverted ? size_t{RGB24_Rows} - 1 - row : row;
    RGB24_Ptr = output + line * RGB24_Cols * kBytesPerPixel;
}

void RGB24_Copy8PixelsFromPreviousLine()
{
    std::memcpy(RGB24_Ptr, RGB24_Ptr + RGB24_PreviousLineOffset, 8 * kBytesPerPixel);
    RGB24_Ptr += 8 * kBytesPerPixel;
}

void RGB24_MakePixelPairFrom422MMX(const uint8_t *src)
{
    YUVPixeltoRGB24MMX(src, RGB24_Ptr);
    RGB24_Ptr += 2 * kBytesPerPixel;
}

void RGB24_MakePixelPairFrom422Table(const uint8_t *src)
{
    YUVPixeltoRGB24Table(src, RGB24_Ptr);
    RGB24_Ptr += 2 * kBytesPerPixel;
}

void RGB24_MakePixelPairFrom420(const uint8_t *src)
{
    YUV420PixeltoRGB24(hostyuvcols, src, RGB24_Ptr);
    RGB24_Ptr += 2 * kBytesPerPixel;
}

void RGB24_SkipBytes(uint16_t k, uint8_t evenLine)
{
    (void)evenLine;
    // Whole pixel pairs only: k / 4 pairs of 6 bytes.
    RGB24_Ptr += 6 * (size_t{k} / 4);
}

void RGB24_MakeRowFrom422Table(const uint8_t *src, uint32_t pairs)
{
    uint8_t *dst = RGB24_Ptr;
    for (uint32_t i = 0; i < pairs; ++i, src += 4, dst += 2 * kBytesPerPixel)
        YUVPixeltoRGB24Table(src, dst);
    RGB24_Ptr = dst;
}

// The vector form equals the direct form for every input, so the direct
// form's row kernel serves it.
void RGB24_MakeRowFrom422MMX(const uint8_t *src, uint32_t pairs)
{
    RowKernels_Current()->toRGB24(src, RGB24_Ptr, pairs);
    RGB24_Ptr += size_t{pairs} * 2 * kBytesPerPixel;
}

} // namespace zm4::decode
