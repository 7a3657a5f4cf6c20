// Shared set-up of the decoder tests: the decoder's process-wide state is made
// once for the whole executable (and rebuilt by the tests that switch MMX off),
// and the frames the tests build by hand or by kind.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "decode/decode_options.h"
#include "decode/zm4decode.h"
#include "tests/decode/output_model.h"
#include "tests/support/images.h"

namespace zm4::testing {

// Rebuilds the decoder's state with or without MMX; returns InitDecode's result.
uint32_t reinitDecoder(bool noMmx);

// Output bytes filled from a seed, so that rows the decoder fails to write show up.
std::vector<uint8_t> noiseBuffer(size_t bytes, uint32_t seed);

inline const uint32_t kAllFormats[] = {ZM4_FORMAT_RGB32, ZM4_FORMAT_RGB24, ZM4_FORMAT_RGB16, ZM4_FORMAT_I420,
                                       ZM4_FORMAT_YV12,  ZM4_FORMAT_YUY2,  ZM4_FORMAT_UYVY};

// Decodes with the bounded form over exactly the frame's bytes.
inline uint32_t decodeInto(uint32_t format, const EncodedFrame &frame, std::vector<uint8_t> &out, uint32_t w,
                           uint32_t h, uint16_t &state)
{
    return FormatStreamBounded(format, frame.bytes.data(), frame.bytes.size(), out.data(), w, h, &state);
}

// A frame built by hand: the header of a w x h window at the origin, one line
// record around each data block, then `endBytes` bytes of 0xFF.
inline std::vector<uint8_t> handFrame(uint32_t w, uint32_t h, bool compress, bool s420,
                                      const std::vector<std::vector<uint8_t>> &lines, size_t endBytes = 4)
{
    std::vector<uint8_t> bytes(64, 0);
    bytes[0] = 0x19;
    bytes[1] = 0x68;
    bytes[0x11] = s420 ? 0 : 1;
    bytes[0x19] = static_cast<uint8_t>(w / 8);
    bytes[0x1B] = static_cast<uint8_t>(h / 4);
    bytes[0x1C] = compress ? 1 : 0;
    for (const auto &data : lines) {
        const size_t l = data.size() + 1;
        bytes.push_back(static_cast<uint8_t>(l & 0xFF));
        bytes.push_back(static_cast<uint8_t>(l >> 8));
        bytes.insert(bytes.end(), data.begin(), data.end());
        bytes.push_back(0xFD);
    }
    bytes.insert(bytes.end(), endBytes, 0xFF);
    return bytes;
}

// Options for a frame kind; odd 4:2:0 pairs are skipped whenever their luma allows.
inline EncodeOptions kind(bool s420, bool compress, bool decimate, uint32_t magicOffset = 0)
{
    EncodeOptions o;
    o.subsampling422 = !s420;
    o.compression = compress;
    o.decimation = decimate;
    o.skipUnderSentPairs = true;
    o.magicOffset = magicOffset;
    return o;
}

} // namespace zm4::testing
