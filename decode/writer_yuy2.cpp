// YUY2 and UYVY writers: top-down rows of packed 4:2:2 pairs, 2 bytes a pixel;
// YUY2 keeps the camera's Y0 U Y1 V order, UYVY swaps to U Y0 V Y1.
#include <cstring>

#include "decode/colour_formatter.h"
#include "decode/decoder_state.h"
#include "decode/row_kernels.h"

namespace zm4::decode {

uint16_t YUY2_Cols, YUY2_Rows;
int32_t YUY2_PreviousLineOffset;
uint8_t *YUY2_Ptr;

uint16_t UYVY_Cols, UYVY_Rows;
int32_t UYVY_PreviousLineOffset;
uint8_t *UYVY_Ptr;

static inline void mPutYUY2(uint8_t *dst, uint8_t y0, uint8_t u, uint8_t y1, uint8_t v)
{
    dst[0] = y0;
    dst[1] = u;
    dst[2] = y1;
    dst[3] = v;
}

static inline void mPutUYVY(uint8_t *dst, uint8_t y0, uint8_t u, uint8_t y1, uint8_t v)
{
    dst[0] = u;
    dst[1] = y0;
    dst[2] = v;
    dst[3] = y1;
}

static uint32_t mSetupBufferDimensions(uint16_t &cols, uint16_t &rows, int32_t &previousLineOffset,
                                       uint16_t width, uint16_t height)
{
    cols = static_cast<uint16_t>(hostyuvcols / 2);
    rows = hostyuvrows;
    previousLineOffset = -static_cast<int32_t>(hostyuvcols);
    return 2u * width == hostyuvcols && height == hostyuvrows;
}

uint32_t YUY2_SetupBufferDimensions(uint16_t width, uint16_t height)
{
    return mSetupBufferDimensions(YUY2_Cols, YUY2_Rows, YUY2_PreviousLineOffset, width, height);
}

void YUY2_SetupBufferPointers(uint16_t row, uint8_t *output)
{
    YUY2_Ptr = output + size_t{row} * 2u * YUY2_Cols;
}

void YUY2_Copy8PixelsFromPreviousLine()
{
    std::memcpy(YUY2_Ptr, YUY2_Ptr + YUY2_PreviousLineOffset, 16);
    YUY2_Ptr += 16;
}

void YUY2_MakePixelPairFrom422(const uint8_t *src)
{
    mPutYUY2(YUY2_Ptr, src[0], src[1], src[2], src[3]);
    YUY2_Ptr += 4;
}

void YUY2_MakePixelPairFrom420(const uint8_t *src)
{
    const uint8_t *above = src - hostyuvcols;
    mPutYUY2(YUY2_Ptr, src[0], above[1], src[2], above[3]);
    YUY2_Ptr += 4;
}

void YUY2_SkipBytes(uint16_t k, uint8_t evenLine)
{
    (void)evenLine;
    YUY2_Ptr += k;
}

void YUY2_MakeRowFrom422(const uint8_t *src, uint32_t pairs)
{
    std::memcpy(YUY2_Ptr, src, 4 * size_t{pairs});
    YUY2_Ptr += 4 * size_t{pairs};
}

uint32_t UYVY_SetupBufferDimensions(uint16_t width, uint16_t height)
{
    return mSetupBufferDimensions(UYVY_Cols, UYVY_Rows, UYVY_PreviousLineOffset, width, height);
}

void UYVY_SetupBufferPointers(uint16_t row, uint8_t *output)
{
    UYVY_Ptr = output + size_t{row} * 2u * UYVY_Cols;
}

void UYVY_Copy8PixelsFromPreviousLine()
{
    std::memcpy(UYVY_Ptr, UYVY_Ptr + UYVY_PreviousLineOffset, 16);
    UYVY_Ptr += 16;
}

void UYVY_MakePixelPairFrom422(const uint8_t *src)
{
    mPutUYVY(UYVY_Ptr, src[0], src[1], src[2], src[3]);
    UYVY_Ptr += 4;
}

void UYVY_MakePixelPairFrom420(const uint8_t *src)
{
    const uint8_t *above = src - hostyuvcols;
    mPutUYVY(UYVY_Ptr, src[0], above[1], src[2], above[3]);
    UYVY_Ptr += 4;
}

void UYVY_SkipBytes(uint16_t k, uint8_t evenLine)
{
    (void)evenLine;
    UYVY_Ptr += k;
}

void UYVY_MakeRowFrom422(const uint8_t *src, uint32_t pairs)
{
    RowKernels_Current()->toUYVY(src, UYVY_Ptr, pairs);
    UYVY_Ptr += 4 * size_t{pairs};
}

} // namespace zm4::decode
