#include "tests/decode/output_model.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

#include "decode/zm4decode.h"

namespace zm4::testing {

namespace {

uint8_t clampComponent(int x)
{
    return static_cast<uint8_t>(std::clamp(x, 0, 4095) / 16);
}

bool planar(uint32_t f)
{
    return f == ZM4_FORMAT_I420 || f == ZM4_FORMAT_YV12;
}

// Bytes per pixel of the packed formats (planar: the luma plane's).
size_t bytesPerPixel(uint32_t f)
{
    return f == ZM4_FORMAT_RGB32 ? 4 : f == ZM4_FORMAT_RGB24 ? 3 : planar(f) ? 1 : 2;
}

} // namespace

Bgr modelConvert(uint8_t y, uint8_t u, uint8_t v, RgbForm form)
{
    const int su = u - 128;
    const int sv = v - 128;
    const int sy = form == RgbForm::Direct ? 19 * (y - 16) : 19 * y;
    const int red = form == RgbForm::Direct ? 26 * sv : 28 * sv;
    return {clampComponent(sy + 32 * su), clampComponent(sy - 6 * su - 13 * sv), clampComponent(sy + red)};
}

uint16_t modelPack555(Bgr c)
{
    return static_cast<uint16_t>(((c.r >> 3) << 10) | ((c.g >> 3) << 5) | (c.b >> 3));
}

const char *formatName(uint32_t format)
{
    // Indexed by format code; 5 is no format.
    static const char *const kNames[] = {"Unknown", "None", "RGB32", "RGB24", "RGB16",
                                         "Unknown", "I420", "YV12",  "YUY2",  "UYVY"};
    return format < std::size(kNames) ? kNames[format] : "Unknown";
}

ReceiverModel::ReceiverModel(uint32_t format, uint32_t width, uint32_t height, std::vector<uint8_t> initial,
                             RgbForm rgb24Form)
    : format_(format), w_(width), h_(height), rgb24Form_(rgb24Form), image_(std::move(initial))
{
}

size_t ReceiverModel::rowBytes() const
{
    return size_t{w_} * bytesPerPixel(format_);
}

size_t ReceiverModel::rowOffset(uint32_t r) const
{
    const bool bottomUp =
        format_ == ZM4_FORMAT_RGB32 || format_ == ZM4_FORMAT_RGB24 || format_ == ZM4_FORMAT_RGB16;
    return size_t{bottomUp ? h_ - 1 - r : r} * rowBytes();
}

void ReceiverModel::writePair(uint32_t r, uint32_t p, const uint8_t *pair, RgbForm form)
{
    uint8_t *row = image_.data() + rowOffset(r);
    const uint8_t y0 = pair[0], u = pair[1], y1 = pair[2], v = pair[3];
    const size_t bpp = bytesPerPixel(format_);
    switch (format_) {
    case ZM4_FORMAT_RGB32:
    case ZM4_FORMAT_RGB24:
    case ZM4_FORMAT_RGB16:
        for (const uint8_t y : {y0, y1}) {
            const Bgr c = modelConvert(y, u, v, form);
            const uint16_t word = modelPack555(c);
            const uint8_t px[4] = {bpp == 2 ? uint8_t(word & 0xFF) : c.b, bpp == 2 ? uint8_t(word >> 8) : c.g,
                                   c.r, 0};
            std::memcpy(row + size_t{p} * 2 * bpp, px, bpp);
            row += bpp;
        }
        break;
    case ZM4_FORMAT_YUY2:
    case ZM4_FORMAT_UYVY: {
        const bool yuy2 = format_ == ZM4_FORMAT_YUY2;
        const uint8_t b[4] = {yuy2 ? y0 : u, yuy2 ? u : y0, yuy2 ? y1 : v, yuy2 ? v : y1};
        std::memcpy(row + size_t{p} * 4, b, 4);
        break;
    }
    case ZM4_FORMAT_I420:
    case ZM4_FORMAT_YV12:
        row[2 * p] = y0;
        row[2 * p + 1] = y1;
        if (r % 2 == 0) {
            // Only even rows carry chroma into the planes; odd rows' chroma is dropped.
            const size_t luma = size_t{w_} * h_, at = size_t{r / 2} * (w_ / 2) + p;
            const bool i420 = format_ == ZM4_FORMAT_I420;
            image_[luma + (i420 ? 0 : luma / 4) + at] = u;
            image_[luma + (i420 ? luma / 4 : 0) + at] = v;
        }
        break;
    default:
        break;
    }
}

void ReceiverModel::copyRowFromAbove(uint32_t r)
{
    if (format_ == ZM4_FORMAT_NONE)
        return;
    std::copy_n(lines_.row(r - 1), lines_.stride(), lines_.row(r));
    std::memmove(image_.data() + rowOffset(r), image_.data() + rowOffset(r - 1), rowBytes());
}

void ReceiverModel::apply(const EncodedFrame &frame, const EncodeOptions &options)
{
    applyRows(frame, options, h_);
}

void ReceiverModel::applyRows(const EncodedFrame &frame, const EncodeOptions &o, uint32_t rows)
{
    const bool fixUp = lastDecimation_ != 0 && !o.decimation && o.compression;
    lastDecimation_ = o.decimation ? 1 : 0;
    if (format_ == ZM4_FORMAT_NONE)
        return;
    if (lines_.width != int(w_) || lines_.height != int(h_))
        lines_ = Image422(int(w_), int(h_));
    for (uint32_t r = 0; r < std::min(rows, h_); ++r) {
        const bool odd = r % 2 == 1;
        if (o.decimation && odd) {
            copyRowFromAbove(r);
            continue;
        }
        // Uncompressed 4:2:0 odd rows go through the 4:2:0 converter, which
        // always uses the direct arithmetic; every other pair goes through the
        // pair writer, whose RGB24 form depends on the processor.
        const bool rebuilt = !o.subsampling422 && odd;
        const bool via420 = rebuilt && !o.compression;
        const RgbForm form = (format_ == ZM4_FORMAT_RGB24 && !via420) ? rgb24Form_ : RgbForm::Direct;
        for (uint32_t p = 0; p < w_ / 2; ++p) {
            uint8_t *mine = lines_.row(r) + 4 * p;
            const uint8_t *above = r ? lines_.row(r - 1) + 4 * p : nullptr;
            if (frame.pairSent(r, p)) {
                const uint8_t *sent = frame.reference.row(r) + 4 * p;
                mine[0] = sent[0];
                mine[2] = sent[2];
                if (!rebuilt) {
                    mine[1] = sent[1];
                    mine[3] = sent[3];
                }
            } else if (!rebuilt || (mine[1] == above[1] && mine[3] == above[3])) {
                continue; // unchanged: the image already shows this pair
            }
            // An odd 4:2:0 row always shows the chroma of the row above, also
            // where its own luma was skipped but the chroma above changed.
            if (rebuilt) {
                mine[1] = above[1];
                mine[3] = above[3];
            }
            writePair(r, p, mine, form);
        }
        if (fixUp && odd)
            copyRowFromAbove(r);
    }
}

std::vector<uint32_t> ReceiverModel::badRows(const std::vector<uint8_t> &actual) const
{
    if (actual.size() != image_.size() || format_ == ZM4_FORMAT_NONE)
        return actual == image_ ? std::vector<uint32_t>{} : std::vector<uint32_t>{0};
    const auto differ = [&](size_t at, size_t n) {
        return std::memcmp(actual.data() + at, image_.data() + at, n);
    };
    const size_t luma = size_t{w_} * h_;
    std::vector<uint32_t> bad;
    for (uint32_t r = 0; r < h_; ++r) {
        // An even row of the planar formats includes its chroma row.
        const size_t c = size_t{r / 2} * (w_ / 2);
        if (differ(rowOffset(r), rowBytes()) ||
            (planar(format_) && r % 2 == 0 &&
             (differ(luma + c, w_ / 2) || differ(luma + luma / 4 + c, w_ / 2))))
            bad.push_back(r);
    }
    return bad;
}

} // namespace zm4::testing
