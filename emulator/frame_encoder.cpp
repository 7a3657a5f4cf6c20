// Wire-format encoder of the emulated camera.

#include "emulator/frame_encoder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace zm4::emu {

namespace {

void copyRow(Image422 &image, int from, int to)
{
    if (image.stride() > 0)
        std::memcpy(image.row(to), image.row(from), static_cast<size_t>(image.stride()));
}

void putSkips(std::vector<uint8_t> &line, int pairs)
{
    while (pairs > 0) {
        const int n = std::min(pairs, kMaxSkipPairs);
        line.push_back(static_cast<uint8_t>(1 + 4 * n));
        pairs -= n;
    }
}

int largestChange(const uint8_t *a, const uint8_t *b)
{
    int change = 0;
    for (int i = 0; i < 4; ++i)
        change = std::max(change, std::abs(int(a[i]) - int(b[i])));
    return change;
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
    const bool canSkip = params.compression && referenceValid_;

    std::vector<uint8_t> out(kFrameHeaderSize, 0);
    out[0x00] = kMagic0;
    out[0x01] = kMagic1;
    out[0x10] = params.videoSize;
    out[0x11] = params.subsampling422 ? 1 : 0;
    out[0x12] = params.yuvOrder;
    out[0x18] = params.colStart;
    out[0x19] = params.colEnd;
    out[0x1A] = params.rowStart;
    out[0x1B] = params.rowEnd;
    out[0x1C] = params.compression ? 1 : 0;
    out[0x1D] = params.decimation ? 1 : 0;
    out[0x1E] = params.cameraValues[0];
    out[0x1F] = params.cameraValues[1];
    for (int i = 0; i < 4; ++i)
        out[static_cast<size_t>(0x20 + i)] = static_cast<uint8_t>(params.frameNumber >> (8 * i));
    out[0x27] = params.cameraValues[2];
    out[0x28] = params.cameraValues[3];
    out[0x29] = params.cameraValues[4];
    // The header's last byte looks like an end-of-line marker so that a
    // frame without lines still ends in the pattern the host watches for.
    out[0x3F] = kEndOfLine;

    std::vector<uint8_t> line;
    line.reserve(static_cast<size_t>(width) * 2 + 1);
    const int pairs = width / 2;
    // Which pairs of the last even row went out: the host paints an odd
    // 4:2:0 pair from the even pair above as it arrives, so an odd pair
    // may only be skipped when the pair above was skipped too.
    std::vector<bool> evenSent(static_cast<size_t>(pairs), false);

    for (int r = 0; r < height; r += params.decimation ? 2 : 1) {
        const bool chromaFromAbove = !params.subsampling422 && (r & 1);
        const int sy = y0 + r;
        line.clear();
        int skipped = 0;

        for (int j = 0; j < pairs; ++j) {
            const int sx = x0 + 2 * j;
            uint8_t pair[4] = {16, 128, 16, 128};
            if (sy < sensor.height && sx + 1 < sensor.width) {
                const uint8_t *p = sensor.row(sy) + sx * 2;
                pair[0] = p[0];
                pair[2] = p[2];
                pair[1] = params.yuvOrder ? p[3] : p[1];
                pair[3] = params.yuvOrder ? p[1] : p[3];
            }
            // In compressed lines an odd first byte is a skip code.
            if (params.compression)
                pair[0] &= 0xFE;
            if (chromaFromAbove) {
                const uint8_t *above = reference_.row(r - 1) + j * 4;
                pair[1] = above[1];
                pair[3] = above[3];
            }

            uint8_t *ref = reference_.row(r) + j * 4;
            const bool mustSend = chromaFromAbove && evenSent[static_cast<size_t>(j)];
            if (canSkip && !mustSend && largestChange(pair, ref) <= params.threshold) {
                if (!chromaFromAbove)
                    evenSent[static_cast<size_t>(j)] = false;
                ++skipped;
                continue;
            }
            putSkips(line, skipped);
            skipped = 0;
            line.push_back(pair[0]);
            if (!chromaFromAbove)
                line.push_back(pair[1]);
            line.push_back(pair[2]);
            if (!chromaFromAbove)
                line.push_back(pair[3]);
            std::memcpy(ref, pair, 4);
            if (!chromaFromAbove)
                evenSent[static_cast<size_t>(j)] = true;
        }
        putSkips(line, skipped);
        line.push_back(kEndOfLine);

        const auto length = static_cast<uint16_t>(line.size());
        out.push_back(static_cast<uint8_t>(length & 0xFF));
        out.push_back(static_cast<uint8_t>(length >> 8));
        out.insert(out.end(), line.begin(), line.end());
    }

    out.insert(out.end(), params.subsampling422 ? 4 : 1, kEndOfFrame);

    // What the host shows for rows it did not get: a decimated frame repeats
    // each even row below it, and so does the first compressed full frame
    // after decimated ones.
    const bool decimationEnded = previousDecimated_ && !params.decimation && params.compression;
    if (params.decimation || decimationEnded)
        for (int r = 1; r < height; r += 2)
            copyRow(reference_, r - 1, r);

    previousDecimated_ = params.decimation;
    referenceValid_ = true;
    return out;
}

} // namespace zm4::emu
