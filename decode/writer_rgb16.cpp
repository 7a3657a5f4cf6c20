// RGB16 writers: bottom-up rows of 5-5-5 pixels, each one little-endian
// 16-bit word (bit 15 clear).
#include <cstring>

#include "decode/colour_formatter.h"
#include "decode/decoder_state.h"
#include "decode/row_kernels.h"
#include "decode/yuv2rgb.h"

namespace zm4::decode {

uint16_t RGB16_Cols, RGB16_Rows;
int32_t RGB16_PreviousLineOffset;
uint8_t *RGB16_Ptr;

static constexpr uint32_t kBytesPerPixel = 2;

// The output need not be 16-bit aligned, and the words are little-endian
// whatever the host's byte order.
static inline void mStoreWords(const uint16_t words[2], uint8_t *dst)
{
    dst[0] = static_cast<uint8_t>(words[0]);
    dst[1] = static_cast<uint8_t>(words[0] >> 8);
    dst[2] = static_cast<uint8_t>(words[1]);
    dst[3] = static_cast<uint8_t>(words[1] >> 8);
}

static inline void mWritePair(const uint8_t *src, uint8_t *dst)
{
    uint16_t words[2];
    YUVPixeltoRGB16(src, words);
    mStoreWords(words, dst);
}

uint32_t RGB16_SetupBufferDimensions(uint16_t width, uint16_t height)
{
    RGB16_Cols = static_cast<uint16_t>(hostyuvcols / 2);
    RGB16_Rows = hostyuvrows;
    const int32_t stride = static_cast<int32_t>(RGB16_Cols * kBytesPerPixel);
    RGB16_PreviousLineOffset = RGB16_Inverted ? stride : -stride;
    return width == RGB16_Cols && height == RGB16_Rows;
}

void RGB16_SetupBufferPointers(uint16_t row, uint8_t *output)
{
    const size_t line = RGB16_Inverted ? size_t{RGB16_Rows} - 1 - row : row;
    RGB16_Ptr = output + line * RGB16_Cols * kBytesPerPixel;
}

void RGB16_Copy8PixelsFromPreviousLine()
{
    std::memcpy(RGB16_Ptr, RGB16_Ptr + RGB16_PreviousLineOffset, 8 * kBytesPerPixel);
    RGB16_Ptr += 8 * kBytesPerPixel;
}

void RGB16_MakePixelPairFrom422(const uint8_t *src)
{
    mWritePair(src, RGB16_Ptr);
    RGB16_Ptr += 2 * kBytesPerPixel;
}

void RGB16_MakePixelPairFrom420(const uint8_t *src)
{
    uint16_t words[2];
    YUV420PixeltoRGB16(hostyuvcols, src, words);
    mStoreWords(words, RGB16_Ptr);
    RGB16_Ptr += 2 * kBytesPerPixel;
}

void RGB16_SkipBytes(uint16_t k, uint8_t evenLine)
{
    (void)evenLine;
    // k bytes of 4:2:2 data are k / 2 pixels of 2 bytes; an odd pixel count
    // stays on the pixel it started in (whole words only).
    RGB16_Ptr += size_t{k} & ~size_t{1};
}

void RGB16_MakeRowFrom422(const uint8_t *src, uint32_t pairs)
{
    RowKernels_Current()->toRGB16(src, RGB16_Ptr, pairs);
    RGB16_Ptr += size_t{pairs} * 2 * kBytesPerPixel;
}

} // namespace zm4::decode
