// A test-side encoder of ZM4 camera frames: builds raw frames in the camera's
// wire format from a 4:2:2 source image, with every option the camera has
// (window position, compression against a previous image, decimation, 4:2:0)
// and with deliberate faults, so that tests, benchmarks and the sample
// generator can feed the decoder frames of known content. It is written
// independently of decode/ and never calls it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace zm4::testing {

// A 4:2:2 image as the camera holds it: each row is width / 2 pairs of
// Y0, U, Y1, V bytes, rows top to bottom, no padding.
struct Image422 {
    uint32_t width = 0;  // pixels, a multiple of 8, at most 352
    uint32_t height = 0; // lines, a multiple of 4, at most 288
    std::vector<uint8_t> data;

    Image422() = default;
    Image422(uint32_t w, uint32_t h) : width(w), height(h), data(size_t{w} * 2 * h) {}
    uint32_t rowBytes() const { return width * 2; }
    uint8_t *row(uint32_t r) { return data.data() + size_t{r} * rowBytes(); }
    const uint8_t *row(uint32_t r) const { return data.data() + size_t{r} * rowBytes(); }
    uint8_t *pair(uint32_t r, uint32_t p) { return row(r) + size_t{p} * 4; }
    const uint8_t *pair(uint32_t r, uint32_t p) const { return row(r) + size_t{p} * 4; }
    bool operator==(const Image422 &) const = default;
};

// Every byte drawn from a seeded generator: the same seed gives the same image.
Image422 randomImage(uint32_t width, uint32_t height, uint32_t seed);
// Every pair Y0 = y, U = u, Y1 = y, V = v.
Image422 flatImage(uint32_t width, uint32_t height, uint8_t y, uint8_t u, uint8_t v);

// A deliberate fault in an otherwise good frame.
enum class FaultKind {
    None,
    LineLength,     // line record `line`: the declared length L is off by `value` (signed)
    NoEndOfLine,    // line record `line`: its closing 0xFD is replaced by the byte `value`
    SurplusBytes,   // line record `line`: `value` bytes 0x02 before its 0xFD, counted in L
    EarlyEndOfLine, // line record `line`: a 0xFD before its first data byte, counted in L
    EndOfFrame,     // the end-of-frame marker has only `value` bytes (0 to 3, or 0 for 4:2:0)
};

struct Fault {
    FaultKind kind = FaultKind::None;
    uint32_t line = 0; // index of the line record, 0 = the first transmitted line
    int value = 0;
};

struct EncodeOptions {
    // Window position in the camera's units (header bytes 0x18 and 0x1A):
    // columns of 8 pixels, rows of 4 lines. The end bytes follow from the size.
    uint8_t colStart = 0;
    uint8_t rowStart = 0;
    bool compress = false;
    // Compressed frames skip the pairs that differ from this image by at most
    // `threshold` in every transmitted byte. Without it every pair is sent.
    const Image422 *previous = nullptr;
    int threshold = 0;
    bool decimate = false;
    bool subsample420 = false;
    uint8_t videoSize = 1;
    uint8_t yuvOrder = 0;
    // Header bytes 0x1E, 0x1F, 0x27, 0x28, 0x29: camera values the receiver only copies.
    uint8_t byte1E = 0, byte1F = 0, byte27 = 0, byte28 = 0, byte29 = 0;
    // Bytes of garbage before the header (never containing the magic).
    uint32_t magicOffset = 0;
    // Header bytes forced after everything else: (offset, value).
    std::vector<std::pair<uint8_t, uint8_t>> headerOverrides;
    Fault fault;
};

struct EncodedFrame {
    std::vector<uint8_t> bytes; // garbage, header, line records, end marker
    // The 4:2:2 image the camera assumes the receiver holds after this frame,
    // given it held `previous`: its reference for the next compressed frame.
    // Odd rows of 4:2:0 frames carry the chroma of the row above; odd rows of
    // decimated frames repeat the row above.
    Image422 reference;
    // Per row, per pair: 1 when this frame carries the pair (skipped pairs and
    // untransmitted rows are 0).
    std::vector<uint8_t> sent;
    size_t linesEnd = 0; // offset in `bytes` of the end-of-frame marker
    bool pairSent(uint32_t r, uint32_t p) const { return sent[size_t{r} * (reference.width / 2) + p] != 0; }
};

EncodedFrame encodeFrame(const Image422 &source, const EncodeOptions &options);

} // namespace zm4::testing
