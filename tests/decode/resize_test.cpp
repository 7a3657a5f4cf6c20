// Doubling RGB24 images in place: against an out-of-place model of the
// two-phase filter and its border copies, on exact-size heap buffers.
#include <algorithm>
#include <memory>
#include <random>

#include "decode/resize.h"
#include "tests/decode/decode_env.h"

namespace zm4::testing {
namespace {

// Input pixel bytes, rows x cols x 3.
using Pixels = std::vector<uint8_t>;

// The enlarged image computed out of place: the four phases of each 2 x 2
// input block, then the border rows and columns copied from the inner ones.
Pixels modelDouble(const Pixels &in, uint32_t rows, uint32_t cols)
{
    const uint32_t orows = 2 * rows, ocols = 2 * cols;
    Pixels out(size_t{orows} * ocols * 3, 0);
    const auto I = [&](uint32_t i, uint32_t j, int k) -> uint32_t {
        return in[(size_t{i} * cols + j) * 3 + k];
    };
    const auto O = [&](uint32_t r, uint32_t c, int k) -> uint8_t & {
        return out[(size_t{r} * ocols + c) * 3 + k];
    };
    for (uint32_t i = 1; i < rows; ++i)
        for (uint32_t j = 1; j < cols; ++j)
            for (int k = 0; k < 3; ++k) {
                const uint32_t p = I(i, j, k), l = I(i, j - 1, k), u = I(i - 1, j, k), d = I(i - 1, j - 1, k);
                O(2 * i, 2 * j, k) = static_cast<uint8_t>((9 * p + 3 * l + 3 * u + d + 8) >> 4);
                O(2 * i, 2 * j - 1, k) = static_cast<uint8_t>((9 * l + 3 * p + 3 * d + u + 8) >> 4);
                O(2 * i - 1, 2 * j, k) = static_cast<uint8_t>((9 * u + 3 * p + 3 * d + l + 8) >> 4);
                O(2 * i - 1, 2 * j - 1, k) = static_cast<uint8_t>((9 * d + 3 * l + 3 * u + p + 8) >> 4);
            }
    // Border pixels repeat their nearest inner pixel.
    for (uint32_t r = 0; r < orows; ++r)
        for (uint32_t c = 0; c < ocols; ++c)
            if (r == 0 || c == 0 || r == orows - 1 || c == ocols - 1)
                for (int k = 0; k < 3; ++k)
                    O(r, c, k) = O(std::clamp(r, 1u, orows - 2), std::clamp(c, 1u, ocols - 2), k);
    return out;
}

// Runs the resize on an exact-size heap buffer holding `in` at its start.
Pixels resized(const Pixels &in, uint32_t rows, uint32_t cols)
{
    const size_t bytes = size_t{rows} * cols * 12;
    auto buffer = std::make_unique<uint8_t[]>(bytes);
    std::fill_n(buffer.get(), bytes, uint8_t{0xCD});
    std::copy(in.begin(), in.end(), buffer.get());
    Resize_by_2_PolyPhase(buffer.get(), rows, cols);
    return Pixels(buffer.get(), buffer.get() + bytes);
}

Pixels randomPixels(uint32_t rows, uint32_t cols, uint32_t seed)
{
    return noiseBuffer(size_t{rows} * cols * 3, seed);
}

TEST(Resize, TwoByTwoExample)
{
    // D, U on input row 0 and L, P on input row 1: bytes 0, 16 / 32, 48. The
    // values are worked out by hand, so that the model is checked as well.
    Pixels in;
    for (const uint8_t v : {uint8_t{0}, uint8_t{16}, uint8_t{32}, uint8_t{48}})
        in.insert(in.end(), 3, v);
    const Pixels out = resized(in, 2, 2);
    ASSERT_EQ(out.size(), 48u);
    const auto px = [&](uint32_t r, uint32_t c) { return out[(r * 4 + c) * 3]; };
    // Interior 2x2 block, then the border repeating it.
    EXPECT_EQ((std::vector<int>{px(1, 1), px(1, 2), px(2, 1), px(2, 2)}), (std::vector<int>{12, 20, 28, 36}));
    EXPECT_EQ((std::vector<int>{px(0, 0), px(0, 1), px(0, 3), px(2, 0), px(1, 3), px(3, 0), px(3, 3)}),
              (std::vector<int>{12, 12, 20, 28, 20, 28, 36}));
    EXPECT_EQ(out, modelDouble(in, 2, 2));
}

// Every instruction-set level against the reference path, over odd sizes
// (every column count up to beyond three 64-byte output blocks) and every
// width a decoded frame can have.
TEST(Resize, EveryLevelEqualsTheReferencePath)
{
    std::vector<std::pair<uint32_t, uint32_t>> sizes = {{288, 352}, {3, 5}, {5, 2}};
    for (uint32_t cols = 2; cols <= 70; ++cols)
        sizes.emplace_back(2 + cols % 3, cols);
    for (uint32_t cols = 72; cols <= 352; cols += 8)
        sizes.emplace_back(4, cols);
    for (const auto &[rows, cols] : sizes) {
        const Pixels in = randomPixels(rows, cols, rows + cols);
        Decode_ForceReferencePath(1);
        const Pixels reference = resized(in, rows, cols);
        Decode_ForceReferencePath(0);
        ASSERT_EQ(reference, modelDouble(in, rows, cols)) << rows << "x" << cols;
        for (uint32_t isa = 0; isa <= Decode_SupportedIsa(); ++isa) {
            Decode_ForceIsa(isa);
            EXPECT_EQ(resized(in, rows, cols), reference) << Decode_IsaName() << " " << rows << "x" << cols;
        }
        Decode_ForceIsa(Decode_IsaBest);
    }
}

// One row or one column has no 2 x 2 block; the result must still be a
// fully written, uniform image for uniform input.
TEST(Resize, SingleRowsAndColumnsAreFilled)
{
    for (const auto &[rows, cols] : {std::pair{1u, 8u}, std::pair{4u, 1u}, std::pair{1u, 1u}}) {
        const Pixels in(size_t{rows} * cols * 3, 99);
        const Pixels out = resized(in, rows, cols);
        EXPECT_EQ(out, Pixels(out.size(), 99)) << rows << "x" << cols;
    }
}

} // namespace
} // namespace zm4::testing
