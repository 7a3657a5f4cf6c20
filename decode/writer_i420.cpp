// I420 and YV12 writers: a top-down luma plane of W x H bytes followed by two
// chroma planes of W/2 x H/2 bytes (I420: U then V; YV12: V then U). Chroma is
// taken from the even rows only, one sample per pair.
#include <cstring>

#include "decode/colour_formatter.h"
#include "decode/decoder_state.h"
#include "decode/row_kernels.h"

namespace zm4::decode {

uint16_t I420_Cols, I420_Rows;
int32_t I420_PreviousLineOffsetY, I420_PreviousLineOffsetUV;
uint32_t I420_UOffset, I420_VOffset;
uint8_t *I420_YPtr, *I420_UPtr, *I420_VPtr;

uint16_t YV12_Cols, YV12_Rows;
int32_t YV12_PreviousLineOffsetY, YV12_PreviousLineOffsetUV;
uint32_t YV12_UOffset, YV12_VOffset;
uint8_t *YV12_YPtr, *YV12_UPtr, *YV12_VPtr;

// The two families differ only in where the chroma planes lie, so both run
// on these helpers with their own state.
namespace {

struct PlanarFamily {
    uint16_t &cols, &rows;
    int32_t &previousLineOffsetY, &previousLineOffsetUV;
    uint32_t &uOffset, &vOffset;
    uint8_t *&yPtr, *&uPtr, *&vPtr;
};

} // namespace

static PlanarFamily I420_Family{I420_Cols,
                                I420_Rows,
                                I420_PreviousLineOffsetY,
                                I420_PreviousLineOffsetUV,
                                I420_UOffset,
                                I420_VOffset,
                                I420_YPtr,
                                I420_UPtr,
                                I420_VPtr};
static PlanarFamily YV12_Family{YV12_Cols,
                                YV12_Rows,
                                YV12_PreviousLineOffsetY,
                                YV12_PreviousLineOffsetUV,
                                YV12_UOffset,
                                YV12_VOffset,
                                YV12_YPtr,
                                YV12_UPtr,
                                YV12_VPtr};

static uint32_t mSetupBufferDimensions(PlanarFamily &s, bool uFirst, uint16_t width, uint16_t height)
{
    const uint32_t w = hostyuvcols / 2u;
    const uint32_t h = hostyuvrows;
    s.cols = static_cast<uint16_t>(w);
    s.rows = static_cast<uint16_t>(h + h / 2); // luma rows plus chroma rows
    s.previousLineOffsetY = -static_cast<int32_t>(w);
    s.previousLineOffsetUV = -static_cast<int32_t>(w / 2);
    const uint32_t first = w * h;
    const uint32_t second = w * h + (w * h) / 4;
    s.uOffset = uFirst ? first : second;
    s.vOffset = uFirst ? second : first;
    // The image is 1.5 bytes a pixel: luma rows plus half as many chroma rows.
    return width == w && static_cast<double>(s.rows) == 1.5 * static_cast<double>(height);
}

static void mSetupBufferPointers(PlanarFamily &s, uint16_t row, uint8_t *output)
{
    const size_t chromaStride = s.cols / 2u;
    s.yPtr = output + size_t{row} * s.cols;
    s.uPtr = output + s.uOffset + size_t{row / 2u} * chromaStride;
    s.vPtr = output + s.vOffset + size_t{row / 2u} * chromaStride;
}

static void mCopy8PixelsFromPreviousLine(PlanarFamily &s)
{
    // Luma only: an odd row shares its chroma row with the even row above.
    std::memcpy(s.yPtr, s.yPtr + s.previousLineOffsetY, 8);
    s.yPtr += 8;
}

static void mMakePixelPairFrom422(PlanarFamily &s, const uint8_t *src)
{
    s.yPtr[0] = src[0];
    s.yPtr[1] = src[2];
    s.yPtr += 2;
    if (even_line) {
        *s.uPtr++ = src[1];
        *s.vPtr++ = src[3];
    }
}

static void mMakePixelPairFrom420(PlanarFamily &s, const uint8_t *src)
{
    s.yPtr[0] = src[0];
    s.yPtr[1] = src[2];
    s.yPtr += 2;
}

static void mSkipBytes(PlanarFamily &s, uint16_t k, uint8_t evenLine)
{
    s.yPtr += k / 2u;
    if (evenLine) {
        s.uPtr += k / 4u;
        s.vPtr += k / 4u;
    }
}

static void mMakeRowFrom422(PlanarFamily &s, const uint8_t *src, uint32_t pairs)
{
    RowKernels_Current()->toPlanar(src, s.yPtr, even_line ? s.uPtr : nullptr, s.vPtr, pairs);
    s.yPtr += 2 * size_t{pairs};
    if (even_line) {
        s.uPtr += pairs;
        s.vPtr += pairs;
    }
}

uint32_t I420_SetupBufferDimensions(uint16_t width, uint16_t height)
{
    return mSetupBufferDimensions(I420_Family, true, width, height);
}
void I420_SetupBufferPointers(uint16_t row, uint8_t *output)
{
    mSetupBufferPointers(I420_Family, row, output);
}
void I420_Copy8PixelsFromPreviousLine()
{
    mCopy8PixelsFromPreviousLine(I420_Family);
}
void I420_MakePixelPairFrom422(const uint8_t *src)
{
    mMakePixelPairFrom422(I420_Family, src);
}
void I420_MakePixelPairFrom420(const uint8_t *src)
{
    mMakePixelPairFrom420(I420_Family, src);
}
void I420_SkipBytes(uint16_t k, uint8_t evenLine)
{
    mSkipBytes(I420_Family, k, evenLine);
}
void I420_MakeRowFrom422(const uint8_t *src, uint32_t pairs)
{
    mMakeRowFrom422(I420_Family, src, pairs);
}

uint32_t YV12_SetupBufferDimensions(uint16_t width, uint16_t height)
{
    return mSetupBufferDimensions(YV12_Family, false, width, height);
}
void YV12_SetupBufferPointers(uint16_t row, uint8_t *output)
{
    mSetupBufferPointers(YV12_Family, row, output);
}
void YV12_Copy8PixelsFromPreviousLine()
{
    mCopy8PixelsFromPreviousLine(YV12_Family);
}
void YV12_MakePixelPairFrom422(const uint8_t *src)
{
    mMakePixelPairFrom422(YV12_Family, src);
}
void YV12_MakePixelPairFrom420(const uint8_t *src)
{
    mMakePixelPairFrom420(YV12_Family, src);
}
void YV12_SkipBytes(uint16_t k, uint8_t evenLine)
{
    mSkipBytes(YV12_Family, k, evenLine);
}
void YV12_MakeRowFrom422(const uint8_t *src, uint32_t pairs)
{
    mMakeRowFrom422(YV12_Family, src, pairs);
}

} // namespace zm4::decode
