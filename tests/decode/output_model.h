// The tests' own picture of what a decoded frame must look like: the colour
// arithmetic written out plainly, each output layout, and a receiver that
// applies encoded frames (skips, 4:2:0 chroma, decimation and its fix-up) to
// an expected image. Kept apart from decode/ so the two can check each other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "emulator/frame_encoder.h"

namespace zm4::testing {

// The tests build their frames with the emulated camera's encoder.
using emu::EncodedFrame;
using emu::EncodeOptions;
using emu::Fault;
using emu::Image422;
using emu::WireFault;

struct Bgr {
    uint8_t b, g, r;
    bool operator==(const Bgr &) const = default;
};

enum class RgbForm {
    Direct, // 19(Y - 16), 32u, -6u - 13v, 26v
    Table,  // 19Y, 32u, -6u - 13v, 28v
};

Bgr modelConvert(uint8_t y, uint8_t u, uint8_t v, RgbForm form);
uint16_t modelPack555(Bgr c);

const char *formatName(uint32_t format);

// The expected output image of one stream, updated frame by frame.
class ReceiverModel {
public:
    // `rgb24Form` is the form the RGB24 pair writer uses (Table without MMX).
    ReceiverModel(uint32_t format, uint32_t width, uint32_t height, std::vector<uint8_t> initial,
                  RgbForm rgb24Form = RgbForm::Direct);

    // Applies a frame the decoder accepted. The decimation word follows the
    // decoder's rule: a compressed full frame after decimated ones repeats its
    // even rows over the odd rows.
    void apply(const EncodedFrame &frame, const EncodeOptions &options);
    // Applies only rows [0, rows) of the frame (what a frame with a faulty line leaves).
    void applyRows(const EncodedFrame &frame, const EncodeOptions &options, uint32_t rows);

    // The decimation byte of the frame before, as the stream's word holds it.
    void setPreviousDecimation(uint8_t decimation) { lastDecimation_ = decimation; }
    const std::vector<uint8_t> &image() const { return image_; }
    // Rows (0 = the frame's first) whose bytes differ from the expected image;
    // for the planar formats an even row includes its chroma row.
    std::vector<uint32_t> badRows(const std::vector<uint8_t> &actual) const;
    // Byte ranges of row r in the output (luma only for the planar formats).
    size_t rowOffset(uint32_t r) const;
    size_t rowBytes() const;

private:
    void writePair(uint32_t r, uint32_t p, const uint8_t *pair, RgbForm form);
    void copyRowFromAbove(uint32_t r);

    uint32_t format_;
    uint32_t w_, h_;
    RgbForm rgb24Form_;
    std::vector<uint8_t> image_;
    uint8_t lastDecimation_ = 0;
    Image422 lines_; // the receiver's 4:2:2 picture of the frame, which 4:2:0 chroma comes from
};

} // namespace zm4::testing
