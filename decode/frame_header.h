// The camera's 64-byte frame header: where the magic and each field lie, how
// the region bytes are scaled, and which values the camera can send. The
// verifier, the stream decoder and the tool's frame checker all read headers
// through this one module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "decode/zm4decode.h"

namespace zm4::decode {

constexpr size_t FrameHeader_Bytes = 64;
constexpr uint8_t FrameHeader_Magic[2] = {0x19, 0x68};
// Region limits: 704 bytes of 4:2:2 data (352 pixels) a line, 288 lines.
constexpr uint32_t FrameHeader_MaxLineBytes = 704;
constexpr uint32_t FrameHeader_MaxRows = 288;

// A header byte that verification range-checks.
struct FrameHeaderField {
    uint8_t offset;
    const char *name;
    uint8_t largest;
};
inline constexpr FrameHeaderField FrameHeader_CheckedFields[] = {
    {0x1C, "compression", 1},
    {0x1D, "decimation", 1},
    {0x10, "video size", 1},
    {0x11, "subsampling", 1},
    {0x12, "YUV order", 1},
    {0x18, "first column", FrameHeader_MaxLineBytes / 16},
    {0x19, "end column", FrameHeader_MaxLineBytes / 16},
    {0x1A, "first row", FrameHeader_MaxRows / 4},
    {0x1B, "end row", FrameHeader_MaxRows / 4},
};

// Position of the magic within the first 64 bytes of a buffer of `length`
// bytes, or FrameHeader_Bytes when it is not there.
inline size_t FrameHeader_FindMagic(const uint8_t *buffer, size_t length)
{
    if (buffer == nullptr)
        return FrameHeader_Bytes;
    size_t at = 0;
    while (at < FrameHeader_Bytes &&
           !(at + 1 < length && buffer[at] == FrameHeader_Magic[0] && buffer[at + 1] == FrameHeader_Magic[1]))
        ++at;
    return at;
}

// Every field of the 64 header bytes at `frame`, scaled: columns in bytes of
// 4:2:2 data (x 16), rows in lines (x 4).
inline void FrameHeader_Read(const uint8_t *frame, FrameHeaderInfo *info)
{
    info->compression = frame[0x1C];
    info->videoSize = frame[0x10];
    info->decimation = frame[0x1D];
    info->subsampling = frame[0x11];
    info->yuvOrder = frame[0x12];
    info->colStart = static_cast<uint16_t>(frame[0x18] * 16);
    info->colEnd = static_cast<uint16_t>(frame[0x19] * 16);
    info->rowStart = static_cast<uint16_t>(frame[0x1A] * 4);
    info->rowEnd = static_cast<uint16_t>(frame[0x1B] * 4);
    info->byte1E = frame[0x1E];
    info->byte1F = frame[0x1F];
    info->byte28 = frame[0x28];
    info->byte29 = frame[0x29];
    info->byte27 = frame[0x27];
    std::memcpy(info->rawHeader, frame, FrameHeader_Bytes);
}

// The first checked field of the header at `frame` outside its valid values,
// or nullptr when all are valid.
inline const FrameHeaderField *FrameHeader_FirstBadField(const uint8_t *frame)
{
    for (const FrameHeaderField &field : FrameHeader_CheckedFields)
        if (frame[field.offset] > field.largest)
            return &field;
    return nullptr;
}

} // namespace zm4::decode
