#pragma once
// The camera's frame encoder: cuts the window out of the sensor image and
// writes it in the camera's wire format (64-byte header, length-prefixed
// lines, end-of-frame marker), uncompressed or with skip codes for pixel
// pairs that changed less than a threshold since the last transmitted image.
// FrameEncoder keeps that image, exactly as the host's decoder shows it, as
// the reference for the next compressed frame; encodeFrame() encodes one
// window against a given image, optionally damaged, for receivers' tests.

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "emulator/scenes.h"

namespace zm4::emu {

inline constexpr size_t kFrameHeaderSize = 64;
inline constexpr uint8_t kMagic0 = 0x19;
inline constexpr uint8_t kMagic1 = 0x68;
inline constexpr uint8_t kEndOfLine = 0xFD;
inline constexpr uint8_t kEndOfFrame = 0xFF;
// The longest run of pairs one skip code can carry (code 1 + 4 x 62 = 0xF9).
inline constexpr int kMaxSkipPairs = 62;

struct FrameParams {
    uint8_t videoSize = 1;             // 1: 352 x 288 mode, 0: 176 x 144
    bool subsampling422 = true;        // false: 4:2:0
    uint8_t yuvOrder = 0;              // 1 swaps the chroma bytes of every pair
    uint8_t colStart = 0, colEnd = 44; // units of 8 pixels, end exclusive
    uint8_t rowStart = 0, rowEnd = 72; // units of 4 lines, end exclusive
    bool compression = false;
    bool decimation = false;
    int threshold = 0; // largest per-byte change a skipped pair may hide
    uint32_t frameNumber = 0;
    // Header bytes 0x1E, 0x1F, 0x27, 0x28 and 0x29.
    std::array<uint8_t, 5> cameraValues{};
};

class FrameEncoder {
public:
    // Encodes the window of sensor described by params and updates the reference.
    std::vector<uint8_t> encode(const Image422 &sensor, const FrameParams &params);

    // Forgets the reference: the next compressed frame carries every pair.
    void reset();

    bool hasReference() const { return referenceValid_; }
    // The window as the host's decoder shows it after the last frame, pairs in wire order.
    const Image422 &reference() const { return reference_; }

private:
    struct Key {
        int width = -1, height = -1, col = -1, row = -1;
        bool subsampling422 = true;
        uint8_t videoSize = 0, yuvOrder = 0;
        bool operator==(const Key &) const = default;
    };

    Image422 reference_;
    bool referenceValid_ = false;
    bool previousDecimated_ = false;
    Key key_;
};

// Damage a frame can be given on purpose, as a bad transfer or a confused
// camera would deliver it; `line` counts line records from 0.
enum class WireFault : uint8_t {
    None,
    LineLength,     // line record `line` declares a length off by `value`
    NoEndOfLine,    // line record `line` ends in the byte `value` instead of 0xFD
    SurplusBytes,   // line record `line` has `value` bytes 0x02 before its 0xFD, counted in its length
    EarlyEndOfLine, // line record `line` starts with a 0xFD, counted in its length
    EndOfFrame,     // the end-of-frame marker keeps only its first `value` bytes
};

struct Fault {
    WireFault kind = WireFault::None;
    uint32_t line = 0;
    int value = 0;
};

struct EncodeOptions : FrameParams {
    // What the host holds: compressed frames skip the pairs within the
    // threshold of it. Without it (or at another size) every pair is sent.
    const Image422 *previous = nullptr;
    // Lets an odd 4:2:0 pair be skipped on its own luma where the pair above
    // went out. The emulated camera does not (the host repaints such a pair
    // with the new chroma above), but receivers must cope with it.
    bool skipUnderSentPairs = false;
    // Bytes before the header (a pattern that never holds the magic).
    uint32_t magicOffset = 0;
    // Header bytes set last, as (offset, value).
    std::vector<std::pair<uint8_t, uint8_t>> headerOverrides;
    Fault fault;
};

struct EncodedFrame {
    std::vector<uint8_t> bytes; // leading bytes, header, line records, end-of-frame marker
    // What the camera takes the host to hold afterwards, given it held
    // `previous`: the reference for the next compressed frame.
    Image422 reference;
    // Per row and pair: 1 where the frame carries the pair.
    std::vector<uint8_t> sent;
    size_t linesEnd = 0; // offset of the end-of-frame marker in `bytes`

    bool pairSent(int row, int pair) const
    {
        return sent[static_cast<size_t>(row) * static_cast<size_t>(reference.width / 2) +
                    static_cast<size_t>(pair)] != 0;
    }
};

// Encodes `window`, the whole picture of the window in the sensor's pair
// order, as one frame. Its size sets the header's end column and row; the
// options' colEnd and rowEnd are not used.
EncodedFrame encodeFrame(const Image422 &window, const EncodeOptions &options);

} // namespace zm4::emu
