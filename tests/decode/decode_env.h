// Shared set-up of the decoder tests: the decoder's process-wide state is made
// once for the whole executable (and rebuilt by the tests that switch MMX off).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "decode/decode_options.h"
#include "decode/zm4decode.h"
#include "tests/decode/output_model.h"
#include "tests/support/frame_encoder.h"

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
    return FormatStreamBounded(format, frame.bytes.data(), frame.bytes.size(), out.data(),
                               w, h, &state);
}

} // namespace zm4::testing
