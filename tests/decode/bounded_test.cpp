// The bounded forms against truncated and hostile input: every buffer here is
// a heap block of exactly the size given, so that under AddressSanitizer a
// read past the frame or a write past the image is caught where it happens.
#include <memory>
#include <random>

#include "tests/decode/stream_test_util.h"

namespace zm4::testing {
namespace {

std::unique_ptr<uint8_t[]> exactCopy(const std::vector<uint8_t> &bytes, size_t len)
{
    auto copy = std::make_unique<uint8_t[]>(len);
    std::copy_n(bytes.begin(), len, copy.get());
    return copy;
}

// Every length of small frames; for large ones the first and last few hundred and a random sample.
std::vector<size_t> lengthsFor(size_t size, uint32_t seed)
{
    std::vector<size_t> lengths;
    for (size_t len = 0; len <= size; ++len)
        if (size <= 3000 || len < 300 || len + 300 >= size)
            lengths.push_back(len);
    std::mt19937 rng(seed);
    for (int i = 0; size > 3000 && i < 150; ++i)
        lengths.push_back(rng() % size);
    return lengths;
}

struct Case {
    const char *name;
    uint32_t w, h;
    EncodeOptions options;
};

std::vector<Case> truncationCases()
{
    return {{"8x4", 8, 4, {}},
            {"8x4 4:2:0 compressed", 8, 4, kind(true, true, false)},
            {"24x12 decimated compressed", 24, 12, kind(false, true, true)},
            {"24x12 magic at 20", 24, 12, kind(false, false, false, 20)},
            {"176x144 4:2:0 compressed", 176, 144, kind(true, true, false)},
            {"352x288", 352, 288, {}}};
}

TEST(Bounded, NeverReadsPastATruncatedFrameNorWritesOutsideTheImage)
{
    for (const uint32_t format : kAllFormats)
        for (const Case &c : truncationCases()) {
            if (c.w > 176 && format != ZM4_FORMAT_RGB24)
                continue; // the largest frame once is enough
            SCOPED_TRACE(::testing::Message() << formatName(format) << " " << c.name);
            StreamRun run(format, c.w, c.h, 30);
            EncodeOptions first;
            first.subsampling422 = c.options.subsampling422;
            first.decimation = c.options.decimation;
            const EncodedFrame before = run.send(randomImage(c.w, c.h, 1000), first, "before");
            EncodeOptions o = c.options;
            o.previous = &run.reference();
            o.threshold = 2;
            const auto f = encodeFrame(mutate(run.reference(), 50, 1001), o);
            const std::vector<uint8_t> baseline = run.output();
            // Both frames have the same decimation, so no fix-up is due.
            ReceiverModel model = run.model();
            model.apply(f, o);
            std::vector<uint8_t> out;
            for (const size_t len : lengthsFor(f.bytes.size(), 1003)) {
                const auto copy = exactCopy(f.bytes, len);
                // A frame cut short still leaves its upper rows in the decoder's
                // line image, as in a stream; the frame before is decoded again
                // so that every length starts from the same state.
                out = baseline;
                uint16_t state = 0;
                ASSERT_EQ(decodeInto(format, before, out, c.w, c.h, state), ZM4_FRAME_OK);
                ASSERT_EQ(out, baseline);
                const uint32_t status =
                    FormatStreamBounded(format, copy.get(), len, out.data(), c.w, c.h, &state);
                if (len < f.linesEnd) {
                    ASSERT_NE(status, ZM4_FRAME_OK) << "decoded a frame cut to " << len << " bytes";
                } else {
                    ASSERT_EQ(status, ZM4_FRAME_OK) << len;
                    ASSERT_TRUE(model.badRows(out).empty()) << len;
                }
                if (format != ZM4_FORMAT_RGB24)
                    continue;
                // Verification of the same cut frame, and its retry at a moved magic.
                const uint32_t k = o.magicOffset;
                FrameHeaderInfo info;
                StreamErrorDetails details;
                const uint32_t verified = VerifyStreamBounded(copy.get(), len, &info, &details);
                EXPECT_EQ(details.code, verified);
                const uint32_t again =
                    k && len > k ? VerifyStreamBounded(copy.get() + k, len - k, &info, &details) : verified;
                if (len == f.bytes.size())
                    ASSERT_TRUE(verified == (k ? ZM4_FRAME_MAGIC_MOVED : ZM4_FRAME_OK) &&
                                again == ZM4_FRAME_OK);
                else
                    ASSERT_TRUE(verified != ZM4_FRAME_OK && again != ZM4_FRAME_OK)
                        << "verified a frame cut to " << len << " bytes";
            }
        }
}

// Decodes `bytes` into an exact-size image of noise and returns the rows that changed.
std::vector<uint32_t> changedRows(uint32_t format, const std::vector<uint8_t> &bytes, uint32_t w, uint32_t h,
                                  std::vector<uint8_t> *image = nullptr)
{
    std::vector<uint8_t> out = noiseBuffer(Decode_ImageBytes(format, w, h), 31);
    const ReceiverModel untouched(format, w, h, out);
    const auto copy = exactCopy(bytes, bytes.size());
    uint16_t state = 0;
    EXPECT_LE(FormatStreamBounded(format, copy.get(), bytes.size(), out.data(), w, h, &state), 8u);
    if (image)
        *image = out;
    return untouched.badRows(out);
}

TEST(Bounded, OverlongLinesStayInsideTheirRow)
{
    for (const uint32_t format : kAllFormats) {
        SCOPED_TRACE(formatName(format));
        // Compressed: a three-pixel skip puts the last pair across the end of row 0.
        const auto overshoot =
            handFrame(8, 4, true, false,
                      {{7, 10, 128, 20, 128, 30, 128, 40, 128, 50, 128, 60, 128}, {0x11}, {0x11}, {0x11}});
        for (const uint32_t r : changedRows(format, overshoot, 8, 4))
            EXPECT_EQ(r, 0u) << "row " << r << " written by row 0's data";
        // A 4:2:0 luma-only line cut after four of its bytes is unterminated, even if they look like markers.
        const auto cut =
            handFrame(8, 4, false, true, {std::vector<uint8_t>(16, 40), std::vector<uint8_t>(8, 0xFD)});
        std::vector<uint8_t> out(Decode_ImageBytes(format, 8, 4));
        uint16_t state = 0;
        EXPECT_EQ(FormatStreamBounded(format, exactCopy(cut, 89).get(), 89, out.data(), 8, 4, &state),
                  ZM4_FRAME_NO_END_OF_LINE);

        // Uncompressed: one row that carries twice its width, in 4:2:2 and
        // in 4:2:0 (where odd rows carry luma only).
        for (const bool s420 : {false, true})
            for (uint32_t longRow = 0; longRow < 4; ++longRow) {
                std::vector<std::vector<uint8_t>> lines;
                for (uint32_t r = 0; r < 4; ++r) {
                    const size_t normal = s420 && r % 2 == 1 ? 8 : 16;
                    lines.emplace_back(r == longRow ? 32 : normal, static_cast<uint8_t>(40 + 50 * r));
                }
                const auto frame = handFrame(8, 4, false, s420, lines, 1);
                std::vector<uint8_t> image;
                const auto rows = changedRows(format, frame, 8, 4, &image);
                if (format != ZM4_FORMAT_YUY2)
                    continue;
                // Whatever a row shows comes from its own line (4:2:0 odd rows:
                // chroma from the row above), never from the next line.
                for (const uint32_t r : rows)
                    for (size_t x = 0; x < 16; ++x) {
                        const uint8_t b = image[r * 16 + x];
                        const bool chroma = x % 2 == 1;
                        EXPECT_TRUE(b == 40 + 50 * r ||
                                    (s420 && chroma && r % 2 == 1 && b == 40 + 50 * (r - 1)))
                            << "long row " << longRow << ": row " << r << " byte " << x << " = " << int(b);
                    }
            }
    }
}

} // namespace
} // namespace zm4::testing
