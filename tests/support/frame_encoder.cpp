#include "tests/support/frame_encoder.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <random>

namespace zm4::testing {

namespace {

constexpr uint8_t kEndOfLine = 0xFD;
// Longest run of skipped pairs one skip code covers: the byte 1 + 4 x 63
// would be the end-of-line marker.
constexpr uint32_t kSkipLimit = 62;

bool withinThreshold(const uint8_t *a, const uint8_t *b, size_t n, int threshold)
{
    for (size_t i = 0; i < n; ++i) {
        if (std::abs(int{a[i]} - int{b[i]}) > threshold)
            return false;
    }
    return true;
}

void putSkip(std::vector<uint8_t> &data, uint32_t pairs)
{
    // A skip code b covers b - 1 bytes of 4:2:2 data: 4 bytes per pair.
    data.push_back(static_cast<uint8_t>(1 + 4 * pairs));
}

} // namespace

Image422 randomImage(uint32_t width, uint32_t height, uint32_t seed)
{
    Image422 image(width, height);
    std::mt19937 rng(seed);
    for (auto &b : image.data)
        b = static_cast<uint8_t>(rng() >> 24);
    return image;
}

Image422 flatImage(uint32_t width, uint32_t height, uint8_t y, uint8_t u, uint8_t v)
{
    Image422 image(width, height);
    for (size_t i = 0; i < image.data.size(); i += 4)
        std::copy_n(std::array<uint8_t, 4>{y, u, y, v}.begin(), 4,
                    image.data.begin() + static_cast<std::ptrdiff_t>(i));
    return image;
}

EncodedFrame encodeFrame(const Image422 &source, const EncodeOptions &o)
{
    const uint32_t w = source.width;
    const uint32_t h = source.height;
    const uint32_t pairs = w / 2;
    const Image422 *prev = o.previous;
    if (prev && (prev->width != w || prev->height != h))
        prev = nullptr;

    EncodedFrame frame;
    frame.reference = prev ? *prev : Image422(w, h);
    frame.sent.assign(size_t{pairs} * h, 0);
    auto &out = frame.bytes;

    // Garbage before the header: a pattern that never holds 0x19 followed by 0x68.
    for (uint32_t i = 0; i < o.magicOffset; ++i) {
        auto b = static_cast<uint8_t>(i * 37 + 11);
        out.push_back(b == 0x19 ? uint8_t{0x18} : b);
    }

    const size_t header = out.size();
    out.resize(header + 64, 0);
    uint8_t *hdr = out.data() + header;
    hdr[0x00] = 0x19;
    hdr[0x01] = 0x68;
    hdr[0x10] = o.videoSize;
    hdr[0x11] = o.subsample420 ? 0 : 1;
    hdr[0x12] = o.yuvOrder;
    hdr[0x18] = o.colStart;
    hdr[0x19] = static_cast<uint8_t>(o.colStart + w / 8);
    hdr[0x1A] = o.rowStart;
    hdr[0x1B] = static_cast<uint8_t>(o.rowStart + h / 4);
    hdr[0x1C] = o.compress ? 1 : 0;
    hdr[0x1D] = o.decimate ? 1 : 0;
    hdr[0x1E] = o.byte1E;
    hdr[0x1F] = o.byte1F;
    hdr[0x27] = o.byte27;
    hdr[0x28] = o.byte28;
    hdr[0x29] = o.byte29;
    for (auto [offset, value] : o.headerOverrides)
        if (offset < 64)
            hdr[offset] = value;

    Image422 &ref = frame.reference;
    uint32_t record = 0;
    std::vector<uint8_t> data;
    for (uint32_t r = 0; r < h; r += o.decimate ? 2 : 1, ++record) {
        const bool lumaOnly = o.subsample420 && (r % 2 == 1);
        data.clear();
        uint32_t run = 0;
        for (uint32_t p = 0; p < pairs; ++p) {
            uint8_t pair[4];
            std::copy_n(source.pair(r, p), 4, pair);
            if (lumaOnly) {
                // The receiver rebuilds the chroma from the row above.
                pair[1] = ref.pair(r - 1, p)[1];
                pair[3] = ref.pair(r - 1, p)[3];
            }
            if (o.compress) {
                pair[0] &= 0xFE; // a transmitted pair never starts with an odd byte
                const uint8_t mine[2] = {pair[0], pair[2]};
                const uint8_t theirs[2] = {prev ? prev->pair(r, p)[0] : uint8_t{0},
                                           prev ? prev->pair(r, p)[2] : uint8_t{0}};
                const bool same =
                    prev && (lumaOnly ? withinThreshold(mine, theirs, 2, o.threshold)
                                      : withinThreshold(pair, prev->pair(r, p), 4, o.threshold));
                if (same) {
                    if (++run == kSkipLimit) {
                        putSkip(data, run);
                        run = 0;
                    }
                    continue;
                }
                if (run) {
                    putSkip(data, run);
                    run = 0;
                }
            }
            data.push_back(pair[0]);
            if (lumaOnly) {
                data.push_back(pair[2]);
            } else {
                data.insert(data.end(), pair + 1, pair + 4);
            }
            std::copy_n(pair, 4, ref.pair(r, p));
            frame.sent[size_t{r} * pairs + p] = 1;
        }
        if (run)
            putSkip(data, run);

        // Decimated frames leave the odd rows out; the receiver repeats the row above.
        if (o.decimate && r + 1 < h)
            std::copy_n(ref.row(r), ref.rowBytes(), ref.row(r + 1));

        uint8_t marker = kEndOfLine;
        if (o.fault.line == record) {
            switch (o.fault.kind) {
            case FaultKind::NoEndOfLine:
                marker = static_cast<uint8_t>(o.fault.value);
                break;
            case FaultKind::SurplusBytes:
                data.insert(data.end(), static_cast<size_t>(std::max(o.fault.value, 0)), uint8_t{0x02});
                break;
            case FaultKind::EarlyEndOfLine:
                data.insert(data.begin(), kEndOfLine);
                break;
            default:
                break;
            }
        }
        int length = static_cast<int>(data.size()) + 1;
        if (o.fault.kind == FaultKind::LineLength && o.fault.line == record)
            length += o.fault.value;
        out.push_back(static_cast<uint8_t>(length & 0xFF));
        out.push_back(static_cast<uint8_t>((length >> 8) & 0xFF));
        out.insert(out.end(), data.begin(), data.end());
        out.push_back(marker);
    }

    frame.linesEnd = out.size();
    size_t endBytes = o.subsample420 ? 1 : 4;
    if (o.fault.kind == FaultKind::EndOfFrame)
        endBytes = std::min(endBytes, static_cast<size_t>(std::max(o.fault.value, 0)));
    out.insert(out.end(), endBytes, uint8_t{0xFF});
    return frame;
}

} // namespace zm4::testing
