// Wire-format encoder of the emulated camera.

#include "emulator/frame_encoder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace zm4::emu {

namespace {

// How one frame's lines are written: which pairs may be skipped, and the
// damage it is to carry.
struct LineRules {
    bool canSkip = false;
    bool skipUnderSentPairs = false;
    Fault fault;
};

void copyRow(Image422 &image, int from, int to)
{
    if (image.stride() > 0)
        std::memcpy(image.row(to), image.row(from), static_cast<size_t>(image.stride()));
}

// Writes the skip codes for pairs at out; returns the end.
uint8_t *putSkips(uint8_t *out, int pairs)
{
    while (pairs > 0) {
        const int n = std::min(pairs, kMaxSkipPairs);
        *out++ = static_cast<uint8_t>(1 + 4 * n);
        pairs -= n;
    }
    return out;
}

// The largest change among the bytes a line carries of the pair: all four,
// or on odd 4:2:0 lines the two luma bytes (their chroma is the host's own).
int largestChange(const uint8_t *a, const uint8_t *b, bool lumaOnly)
{
    int change = 0;
    for (int i = 0; i < 4; i += lumaOnly ? 2 : 1)
        change = std::max(change, std::abs(int(a[i]) - int(b[i])));
    return change;
}

void appendHeader(std::vector<uint8_t> &out, const FrameParams &params)
{
    const size_t at = out.size();
    out.resize(at + kFrameHeaderSize, 0);
    uint8_t *h = out.data() + at;
    h[0x00] = kMagic0;
    h[0x01] = kMagic1;
    h[0x10] = params.videoSize;
    h[0x11] = params.subsampling422 ? 1 : 0;
    h[0x12] = params.yuvOrder;
    h[0x18] = params.colStart;
    h[0x19] = params.colEnd;
    h[0x1A] = params.rowStart;
    h[0x1B] = params.rowEnd;
    h[0x1C] = params.compression ? 1 : 0;
    h[0x1D] = params.decimation ? 1 : 0;
    h[0x1E] = params.cameraValues[0];
    h[0x1F] = params.cameraValues[1];
    for (int i = 0; i < 4; ++i)
        h[0x20 + i] = static_cast<uint8_t>(params.frameNumber >> (8 * i));
    h[0x27] = params.cameraValues[2];
    h[0x28] = params.cameraValues[3];
    h[0x29] = params.cameraValues[4];
    // The header's last byte looks like an end-of-line marker so that a
    // frame without lines still ends in the pattern the host watches for.
    h[0x3F] = kEndOfLine;
}

// Appends the line records of the window at pixel (x0, y0) of source,
// skipping where the rules allow the pairs that reference (the host's picture
// of the window) already shows, and updates reference and sent.
void appendLines(std::vector<uint8_t> &out, const Image422 &source, int x0, int y0, const FrameParams &params,
                 const LineRules &rules, Image422 &reference, std::vector<uint8_t> *sent)
{
    const int width = reference.width;
    const int height = reference.height;
    const int pairs = width / 2;
    // A line record is written through a pointer into line: at most every
    // pair whole, a skip code per pair, a fault's surplus bytes and the
    // marker, after a first byte kept for a misplaced early marker.
    const size_t surplus =
        rules.fault.kind == WireFault::SurplusBytes ? static_cast<size_t>(std::max(rules.fault.value, 0)) : 0;
    std::vector<uint8_t> line(1 + static_cast<size_t>(pairs) * 5 + surplus + 1);
    // Which pairs of the last even row went out: the host paints an odd
    // 4:2:0 pair from the even pair above as it arrives, so an odd pair
    // may only be skipped when the pair above was skipped too.
    std::vector<uint8_t> evenSent(static_cast<size_t>(pairs), 0);

    uint32_t record = 0;
    for (int r = 0; r < height; r += params.decimation ? 2 : 1, ++record) {
        const bool chromaFromAbove = !params.subsampling422 && (r & 1);
        const int sy = y0 + r;
        uint8_t *const begin = line.data() + 1;
        uint8_t *end = begin;
        int skipped = 0;

        for (int j = 0; j < pairs; ++j) {
            const int sx = x0 + 2 * j;
            uint8_t pair[4] = {16, 128, 16, 128};
            if (sy < source.height && sx + 1 < source.width) {
                const uint8_t *p = source.row(sy) + sx * 2;
                pair[0] = p[0];
                pair[2] = p[2];
                pair[1] = params.yuvOrder ? p[3] : p[1];
                pair[3] = params.yuvOrder ? p[1] : p[3];
            }
            // In compressed lines an odd first byte is a skip code.
            if (params.compression)
                pair[0] &= 0xFE;
            if (chromaFromAbove) {
                const uint8_t *above = reference.row(r - 1) + j * 4;
                pair[1] = above[1];
                pair[3] = above[3];
            }

            uint8_t *ref = reference.row(r) + j * 4;
            const bool mustSend =
                chromaFromAbove && evenSent[static_cast<size_t>(j)] && !rules.skipUnderSentPairs;
            if (rules.canSkip && !mustSend && largestChange(pair, ref, chromaFromAbove) <= params.threshold) {
                if (!chromaFromAbove)
                    evenSent[static_cast<size_t>(j)] = 0;
                ++skipped;
                continue;
            }
            end = putSkips(end, skipped);
            skipped = 0;
            *end++ = pair[0];
            if (!chromaFromAbove)
                *end++ = pair[1];
            *end++ = pair[2];
            if (!chromaFromAbove)
                *end++ = pair[3];
            std::memcpy(ref, pair, 4);
            if (!chromaFromAbove)
                evenSent[static_cast<size_t>(j)] = 1;
            if (sent)
                (*sent)[static_cast<size_t>(r) * static_cast<size_t>(pairs) + static_cast<size_t>(j)] = 1;
        }
        end = putSkips(end, skipped);

        const uint8_t *first = begin;
        uint8_t marker = kEndOfLine;
        int lengthError = 0;
        if (rules.fault.line == record) {
            switch (rules.fault.kind) {
            case WireFault::LineLength:
                lengthError = rules.fault.value;
                break;
            case WireFault::NoEndOfLine:
                marker = static_cast<uint8_t>(rules.fault.value);
                break;
            case WireFault::SurplusBytes:
                end = std::fill_n(end, surplus, uint8_t{0x02});
                break;
            case WireFault::EarlyEndOfLine:
                line[0] = kEndOfLine;
                first = line.data();
                break;
            default:
                break;
            }
        }
        *end++ = marker;

        const int length = static_cast<int>(end - first) + lengthError;
        out.push_back(static_cast<uint8_t>(length & 0xFF));
        out.push_back(static_cast<uint8_t>((length >> 8) & 0xFF));
        out.insert(out.end(), first, static_cast<const uint8_t *>(end));
    }

    // What the host shows for the rows a decimated frame leaves out: each
    // even row repeated below it.
    if (params.decimation)
        for (int r = 1; r < height; r += 2)
            copyRow(reference, r - 1, r);
}

void appendEndOfFrame(std::vector<uint8_t> &out, const FrameParams &params, const Fault &fault)
{
    int bytes = params.subsampling422 ? 4 : 1;
    if (fault.kind == WireFault::EndOfFrame)
        bytes = std::clamp(fault.value, 0, bytes);
    out.insert(out.end(), static_cast<size_t>(bytes), kEndOfFrame);
}

} // namespace

void FrameEncoder::reset()
{
    referenceValid_ = false;
    previousDecimated_ = false;
}

std::vector<uint8_t> FrameEncoder::encode(const Image422 &sensor, const FrameParams &params)
{
    const int width = std::max(0, int(params.colEnd) - int(params.colStart)) * 8;
    const int height = std::max(0, int(params.rowEnd) - int(params.rowStart)) * 4;
    const int x0 = params.colStart * 8;
    const int y0 = params.rowStart * 4;

    const Key key{width, height, x0, y0, params.subsampling422, params.videoSize, params.yuvOrder};
    if (!(key == key_) || reference_.width != width || reference_.height != height) {
        key_ = key;
        reference_.resize(width, height);
        referenceValid_ = false;
    }
    // Skips are only sound against an image the host is known to hold.
    LineRules rules;
    rules.canSkip = params.compression && referenceValid_;

    std::vector<uint8_t> out;
    out.reserve(kFrameHeaderSize + static_cast<size_t>(height) * (static_cast<size_t>(width) * 2 + 3) + 4);
    appendHeader(out, params);
    appendLines(out, sensor, x0, y0, params, rules, reference_, nullptr);
    appendEndOfFrame(out, params, rules.fault);

    // The first compressed full frame after decimated ones is shown with its
    // even rows repeated below them too.
    if (previousDecimated_ && !params.decimation && params.compression)
        for (int r = 1; r < height; r += 2)
            copyRow(reference_, r - 1, r);

    previousDecimated_ = params.decimation;
    referenceValid_ = true;
    return out;
}

EncodedFrame encodeFrame(const Image422 &window, const EncodeOptions &options)
{
    FrameParams params = options;
    params.colEnd = static_cast<uint8_t>(params.colStart + window.width / 8);
    params.rowEnd = static_cast<uint8_t>(params.rowStart + window.height / 4);
    const Image422 *previous = options.previous;
    if (previous && (previous->width != window.width || previous->height != window.height))
        previous = nullptr;

    EncodedFrame frame;
    frame.reference = previous ? *previous : Image422(window.width, window.height);
    frame.sent.assign(frame.reference.data.size() / 4, 0);

    std::vector<uint8_t> &out = frame.bytes;
    for (uint32_t i = 0; i < options.magicOffset; ++i) {
        const auto b = static_cast<uint8_t>(i * 37 + 11);
        out.push_back(b == kMagic0 ? uint8_t{0x18} : b);
    }
    appendHeader(out, params);
    for (const auto &[offset, value] : options.headerOverrides)
        if (offset < kFrameHeaderSize)
            out[options.magicOffset + offset] = value;

    const LineRules rules{options.compression && previous, options.skipUnderSentPairs, options.fault};
    appendLines(out, window, 0, 0, params, rules, frame.reference, &frame.sent);
    frame.linesEnd = out.size();
    appendEndOfFrame(out, params, rules.fault);
    return frame;
}

} // namespace zm4::emu
