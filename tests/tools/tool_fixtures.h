// What the zm4 tool tests share: frames written with the emulated camera's
// encoder, the same frames decoded with the decoder library for comparison, and
// readers for the image files the tool writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "emulator/frame_encoder.h"
#include "tests/support/images.h"

namespace zm4::cli::testing {

using Bytes = std::vector<uint8_t>;
using zm4::testing::flatImage;
using zm4::testing::randomImage;

// The images the decoder library gives after each frame of the stream, as the
// tool must decode it: one output buffer and one decimation word throughout.
std::vector<Bytes> decodeWithLibrary(const std::vector<Bytes> &frames, uint32_t formatCode, uint32_t width,
                                     uint32_t height);

// The decoder's bottom-up RGB24 (B,G,R), RGB32 (B,G,R,0) or RGB16 (5-5-5)
// image as top-down R,G,B bytes, 5-bit values widened as v << 3 | v >> 2.
Bytes topDownRgb(uint32_t formatCode, const Bytes &image, uint32_t width, uint32_t height);

struct RgbImage {
    uint32_t width = 0;
    uint32_t height = 0;
    Bytes rgb;
};
RgbImage readPpm(const std::string &path);
RgbImage readPng(const std::string &path);

struct Y4mStream {
    uint32_t width = 0;
    uint32_t height = 0;
    std::string colour; // the C tag, e.g. "420jpeg"
    std::string header; // the whole first line
    std::vector<Bytes> frames;
};
Y4mStream readY4m(const std::string &path);

} // namespace zm4::cli::testing
