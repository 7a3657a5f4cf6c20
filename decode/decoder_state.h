// State of the stream decoder that lives between its steps and that the
// writer families read directly: this frame's geometry, the row being decoded
// and the line image. One set for the whole process; every FormatStream holds
// the decoder lock while it uses it, so two cameras never interleave.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace zm4::decode {

// This frame's header values, scaled as in FrameHeaderInfo (columns in bytes of
// 4:2:2 data, rows in lines).
struct DecoderHeader {
    uint8_t compression;
    uint8_t videoSize;
    uint8_t decimation;
    uint8_t subsampling; // 1 = 4:2:2, 0 = 4:2:0
    uint16_t colStart;
    uint16_t colEnd;
    uint16_t rowStart;
    uint16_t rowEnd;
    uint16_t byte1E;
    uint16_t byte1F;
    uint16_t byte28;
};

// The line image holds one 4:2:2 frame of the largest size: 352 x 288 x 2.
constexpr uint32_t HostYUV422_Bytes = 202752;
// Pool tag of the line image, "Wdm " read as a little-endian word.
constexpr uint32_t HostYUV422_Tag = 0x206D6457;

extern DecoderHeader Header;
extern uint8_t decimation;
extern uint16_t hostyuvcols;
extern uint16_t hostyuvrows;
extern uint16_t current_row;
extern uint8_t even_line;
extern const uint8_t *StreamBufferptr;
extern uint8_t *HostYUV422;
extern uint8_t *HostYUVptr;

// 1 when Decode_ForceReferencePath(1) (or ZM4_DECODE_REFERENCE in the
// environment at InitDecode) asked for the plain per-pair paths only.
// Atomic because the resize reads it outside the decoder lock.
extern std::atomic<uint32_t> Decode_ReferencePath;

// Rebuilds one pair of a 4:2:0 odd row into the line image: its own two luma
// samples from the stream, the chroma of the pair one line above.
void HostYUV422_Copy420PixelPairFromStream();

} // namespace zm4::decode
