// Chooses the writer family for an output format code: the table of the six
// operations the stream decoder calls, plus the family's batched row writer.
#include "decode/colour_formatter.h"

#include "decode/yuv2rgb.h"
#include "decode/zm4decode.h"

namespace zm4::decode {

#define ZM4_WRITER_FAMILY(F, pairWriter, rowWriter)                                                          \
    ColourFormatter                                                                                          \
    {                                                                                                        \
        F##_SetupBufferDimensions, F##_SetupBufferPointers, F##_Copy8PixelsFromPreviousLine, pairWriter,     \
            F##_MakePixelPairFrom420, F##_SkipBytes, rowWriter                                               \
    }

uint32_t InitialiseColourFormatter(ColourFormatter *formatter, uint32_t formatCode)
{
    switch (formatCode) {
    case ZM4_FORMAT_NONE:
        *formatter = ColourFormatter{};
        return 1;
    case ZM4_FORMAT_RGB32:
        *formatter = ZM4_WRITER_FAMILY(RGB32, RGB32_MakePixelPairFrom422, RGB32_MakeRowFrom422);
        return 1;
    case ZM4_FORMAT_RGB24:
        // Processors without MMX get the table form, whose colours differ.
        if (hasmmx)
            *formatter = ZM4_WRITER_FAMILY(RGB24, RGB24_MakePixelPairFrom422MMX, RGB24_MakeRowFrom422MMX);
        else
            *formatter = ZM4_WRITER_FAMILY(RGB24, RGB24_MakePixelPairFrom422Table, RGB24_MakeRowFrom422Table);
        return 1;
    case ZM4_FORMAT_RGB16:
        *formatter = ZM4_WRITER_FAMILY(RGB16, RGB16_MakePixelPairFrom422, RGB16_MakeRowFrom422);
        return 1;
    case ZM4_FORMAT_I420:
        *formatter = ZM4_WRITER_FAMILY(I420, I420_MakePixelPairFrom422, I420_MakeRowFrom422);
        return 1;
    case ZM4_FORMAT_YV12:
        *formatter = ZM4_WRITER_FAMILY(YV12, YV12_MakePixelPairFrom422, YV12_MakeRowFrom422);
        return 1;
    case ZM4_FORMAT_YUY2:
        *formatter = ZM4_WRITER_FAMILY(YUY2, YUY2_MakePixelPairFrom422, YUY2_MakeRowFrom422);
        return 1;
    case ZM4_FORMAT_UYVY:
        *formatter = ZM4_WRITER_FAMILY(UYVY, UYVY_MakePixelPairFrom422, UYVY_MakeRowFrom422);
        return 1;
    default:
        return 0;
    }
}

} // namespace zm4::decode

size_t Decode_ImageBytes(uint32_t formatCode, uint32_t width, uint32_t height)
{
    const size_t pixels = size_t{width} * height;
    switch (formatCode) {
    case ZM4_FORMAT_RGB32:
        return 4 * pixels;
    case ZM4_FORMAT_RGB24:
        return 3 * pixels;
    case ZM4_FORMAT_RGB16:
    case ZM4_FORMAT_YUY2:
    case ZM4_FORMAT_UYVY:
        return 2 * pixels;
    case ZM4_FORMAT_I420:
    case ZM4_FORMAT_YV12:
        return pixels + 2 * (pixels / 4);
    default:
        return 0;
    }
}
