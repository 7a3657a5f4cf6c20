// Checks a raw camera frame before it is decoded (header magic and ranges,
// every line's length and end-of-line marker, the end-of-frame marker), and
// maps a video format to the decoder's output format code.
#include "decode/frame_header.h"
#include "decode/zm4decode.h"

using namespace zm4::decode;

static constexpr uint32_t mMakeFourCC(char a, char b, char c, char d)
{
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
           static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24;
}

uint32_t FormatToSupplyFourCC(uint32_t fourcc, uint16_t bitCount)
{
    if (fourcc == 0 || fourcc == mMakeFourCC('R', 'G', 'B', '2')) {
        switch (bitCount) {
        case 16:
            return ZM4_FORMAT_RGB16;
        case 24:
            return ZM4_FORMAT_RGB24;
        case 32:
            return ZM4_FORMAT_RGB32;
        default:
            return ZM4_FORMAT_UNSUPPORTED;
        }
    }
    if (fourcc == mMakeFourCC('I', '4', '2', '0') || fourcc == mMakeFourCC('I', 'Y', 'U', 'V'))
        return ZM4_FORMAT_I420;
    if (fourcc == mMakeFourCC('Y', 'V', '1', '2'))
        return ZM4_FORMAT_YV12;
    if (fourcc == mMakeFourCC('Y', 'U', 'Y', '2'))
        return ZM4_FORMAT_YUY2;
    if (fourcc == mMakeFourCC('U', 'Y', 'V', 'Y'))
        return ZM4_FORMAT_UYVY;
    return ZM4_FORMAT_UNSUPPORTED;
}

static uint32_t RecordErrorDetails(StreamErrorDetails *details, uint32_t code, uint32_t line, uint32_t length,
                                   size_t offset)
{
    details->code = code;
    details->line = static_cast<uint16_t>(line);
    details->length = length;
    details->offset = static_cast<uint32_t>(offset);
    return code;
}

// A truncated buffer is reported as a missing end-of-frame marker (6) with
// offset = the buffer's length, the first byte that was not there; a header
// cut short is reported as a bad header (4) with the same offset.
uint32_t VerifyStreamBounded(const uint8_t *stream, size_t length, FrameHeaderInfo *info,
                             StreamErrorDetails *details)
{
    StreamErrorDetails unused;
    if (details == nullptr)
        details = &unused;
    *details = StreamErrorDetails{};
    if (stream == nullptr)
        length = 0;

    const size_t magic = FrameHeader_FindMagic(stream, length);
    if (magic == FrameHeader_Bytes)
        return RecordErrorDetails(details, ZM4_FRAME_BAD_HEADER, 0, 0, FrameHeader_Bytes);
    if (magic > 0)
        return RecordErrorDetails(details, ZM4_FRAME_MAGIC_MOVED, 0, 0, magic);
    if (length < FrameHeader_Bytes)
        return RecordErrorDetails(details, ZM4_FRAME_BAD_HEADER, 0, 0, length);

    FrameHeaderInfo header{};
    FrameHeader_Read(stream, &header);
    if (info != nullptr)
        *info = header;
    if (FrameHeader_FirstBadField(stream) != nullptr)
        return RecordErrorDetails(details, ZM4_FRAME_BAD_HEADER, 0, 0, 0);

    // Compared as signed numbers: a frame whose end column lies before its
    // first column allows no line at all.
    const int32_t longestLine =
        static_cast<int32_t>(header.colEnd) - static_cast<int32_t>(header.colStart) + 1;
    size_t p = FrameHeader_Bytes;
    uint32_t row = header.rowStart;
    uint32_t lastLength = 0;
    while (row < header.rowEnd) {
        if (length - p < 2)
            return RecordErrorDetails(details, ZM4_FRAME_NO_END_OF_FRAME, row, lastLength, length);
        const uint32_t lineLength = stream[p] | static_cast<uint32_t>(stream[p + 1]) << 8;
        p += 2;
        lastLength = lineLength;
        if (static_cast<int32_t>(lineLength) > longestLine)
            return RecordErrorDetails(details, ZM4_FRAME_BAD_LINE_LENGTH, row, lineLength, p);
        // With L = 0 the byte before the data, the length's high byte, stands
        // where the marker should be: never 0xFD for so short a line.
        const size_t marker = p + lineLength - 1;
        if (marker >= length)
            return RecordErrorDetails(details, ZM4_FRAME_NO_END_OF_FRAME, row, lineLength, length);
        if (stream[marker] != 0xFD)
            return RecordErrorDetails(details, ZM4_FRAME_NO_END_OF_LINE, row, lineLength, marker);
        p += lineLength;
        row += header.decimation == 1 ? 2 : 1;
    }

    const size_t markerBytes = header.subsampling == 1 ? 4 : 1;
    for (size_t i = 0; i < markerBytes; ++i) {
        if (p + i >= length)
            return RecordErrorDetails(details, ZM4_FRAME_NO_END_OF_FRAME, row, lastLength, length);
        if (stream[p + i] != 0xFF)
            return RecordErrorDetails(details, ZM4_FRAME_NO_END_OF_FRAME, row, lastLength, p);
    }
    return ZM4_FRAME_OK;
}

uint32_t VerifyStream(const uint8_t *stream, FrameHeaderInfo *info, StreamErrorDetails *details)
{
    return VerifyStreamBounded(stream, ZM4_MAX_STREAM_BYTES, info, details);
}
