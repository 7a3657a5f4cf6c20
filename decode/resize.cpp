// Doubles a decoded RGB24 image in place for the output sizes above the
// camera's 352 x 288: a two-phase bilinear filter (weights 9, 3, 3, 1 of 16)
// over each 2 x 2 block of input pixels, then the outer border copied from
// the nearest filtered pixels.
#include "decode/resize.h"

#include <cstddef>
#include <cstring>

#include "decode/decoder_state.h"
#include "decode/row_kernels.h"

using namespace zm4::decode;

namespace {

constexpr size_t kPixelBytes = 3;

// out(r, c) and in(i, j) as byte offsets of pixel starts.
struct Geometry {
    size_t inStride;
    size_t outStride;
    size_t in(size_t i, size_t j) const { return i * inStride + j * kPixelBytes; }
    size_t out(size_t r, size_t c) const { return r * outStride + c * kPixelBytes; }
};

} // namespace

static inline uint8_t mFilter(uint32_t near, uint32_t side1, uint32_t side2, uint32_t far)
{
    return static_cast<uint8_t>((9 * near + 3 * side1 + 3 * side2 + far + 8) >> 4);
}

// One 2 x 2 input block (rows i - 1, i; columns j - 1, j) to the four output
// pixels between their centres, for byte b of the pixel.
static inline void mFilterBlock(uint8_t *buffer, const Geometry &g, size_t i, size_t j, size_t b)
{
    const uint32_t p = buffer[g.in(i, j) + b];
    const uint32_t l = buffer[g.in(i, j - 1) + b];
    const uint32_t u = buffer[g.in(i - 1, j) + b];
    const uint32_t d = buffer[g.in(i - 1, j - 1) + b];
    buffer[g.out(2 * i, 2 * j) + b] = mFilter(p, l, u, d);
    buffer[g.out(2 * i, 2 * j - 1) + b] = mFilter(l, p, d, u);
    buffer[g.out(2 * i - 1, 2 * j) + b] = mFilter(u, p, d, l);
    buffer[g.out(2 * i - 1, 2 * j - 1) + b] = mFilter(d, l, u, p);
}

static void mFilterRowPair(uint8_t *buffer, const Geometry &g, size_t i, size_t cols,
                           void (*kernel)(const uint8_t *, const uint8_t *, uint8_t *, uint8_t *, size_t))
{
    kernel(buffer + g.in(i, 0), buffer + g.in(i - 1, 0), buffer + g.out(2 * i, 0),
           buffer + g.out(2 * i - 1, 0), cols);
}

static inline void mCopyPixel(uint8_t *buffer, size_t to, size_t from)
{
    std::memcpy(buffer + to, buffer + from, kPixelBytes);
}

// Images of one row or one column have no 2 x 2 block: each pixel becomes a
// 2 x 2 square of itself, filled from the end so no input is overwritten
// before it is read.
static void mReplicate(uint8_t *buffer, size_t rows, size_t cols)
{
    const Geometry g{cols * kPixelBytes, 2 * cols * kPixelBytes};
    for (size_t i = rows; i-- > 0;) {
        for (size_t j = cols; j-- > 0;) {
            uint8_t pixel[kPixelBytes];
            std::memcpy(pixel, buffer + g.in(i, j), kPixelBytes);
            for (size_t r = 2 * i; r < 2 * i + 2; ++r)
                for (size_t c = 2 * j; c < 2 * j + 2; ++c)
                    std::memcpy(buffer + g.out(r, c), pixel, kPixelBytes);
        }
    }
}

void Resize_by_2_PolyPhase(uint8_t *buffer, uint32_t rows, uint32_t cols)
{
    if (buffer == nullptr || rows == 0 || cols == 0)
        return;
    if (rows == 1 || cols == 1) {
        mReplicate(buffer, rows, cols);
        return;
    }
    const Geometry g{size_t{cols} * kPixelBytes, 2 * size_t{cols} * kPixelBytes};

    // Interior, from the end of the buffer towards its start: each block's
    // outputs lie beyond every input pixel a later block reads, so one buffer
    // suffices. The plain path filters each byte of the pixel in its own pass,
    // block by block; the bytes of a pixel are independent planes, so the row
    // kernels, which filter a whole input row pair at a time (output rows 2i
    // - 1 and 2i start at or after the end of input row i, so both input rows
    // are read before they are overwritten), give the same bytes.
    if (Decode_ReferencePath.load(std::memory_order_relaxed) != 0) {
        for (size_t b = kPixelBytes; b-- > 0;)
            for (size_t i = rows - 1; i >= 1; --i)
                for (size_t j = cols - 1; j >= 1; --j)
                    mFilterBlock(buffer, g, i, j, b);
    } else {
        auto kernel = RowKernels_Current()->resizeRowPair;
        if (kernel == nullptr)
            kernel = RowKernels_Baseline.resizeRowPair;
        for (size_t i = rows - 1; i >= 1; --i)
            mFilterRowPair(buffer, g, i, cols, kernel);
    }

    // Borders from their nearest filtered neighbours.
    const size_t lastRow = 2 * size_t{rows} - 1;
    const size_t lastCol = 2 * size_t{cols} - 1;
    mCopyPixel(buffer, g.out(0, 0), g.out(1, 1));
    mCopyPixel(buffer, g.out(lastRow, 0), g.out(lastRow - 1, 1));
    // The top and bottom rows between the corners, pixel by pixel in one copy.
    std::memcpy(buffer + g.out(0, 1), buffer + g.out(1, 1), (lastCol - 1) * kPixelBytes);
    std::memcpy(buffer + g.out(lastRow, 1), buffer + g.out(lastRow - 1, 1), (lastCol - 1) * kPixelBytes);
    mCopyPixel(buffer, g.out(0, lastCol), g.out(1, lastCol - 1));
    mCopyPixel(buffer, g.out(lastRow, lastCol), g.out(lastRow - 1, lastCol - 1));
    for (size_t r = 1; r < lastRow; ++r) {
        mCopyPixel(buffer, g.out(r, 0), g.out(r, 1));
        mCopyPixel(buffer, g.out(r, lastCol), g.out(r, lastCol - 1));
    }
}
