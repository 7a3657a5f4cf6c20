// FormatStream's statuses: what each fault reports, and that a failed frame
// leaves the rows after the faulty line (or the whole image) as they were.
#include "tests/decode/stream_test_util.h"

namespace zm4::testing {
namespace {

struct LineFault {
    const char *name;
    bool compress;
    Fault fault;
    uint32_t status;
};

// Each fault on line record 5 of a 24 x 12 frame.
const LineFault kLineFaults[] = {
    {"surplus byte", true, {WireFault::SurplusBytes, 5, 1}, ZM4_FRAME_BAD_LINE_LENGTH},
    {"three surplus", true, {WireFault::SurplusBytes, 5, 3}, ZM4_FRAME_BAD_LINE_LENGTH},
    {"early marker", true, {WireFault::EarlyEndOfLine, 5, 0}, ZM4_FRAME_EARLY_END_OF_LINE},
    {"no marker", true, {WireFault::NoEndOfLine, 5, 0x00}, ZM4_FRAME_NO_END_OF_LINE},
    {"no marker, raw", false, {WireFault::NoEndOfLine, 5, 0x10}, ZM4_FRAME_NO_END_OF_LINE},
    {"two short, raw", false, {WireFault::LineLength, 5, -2}, ZM4_FRAME_BAD_LINE_LENGTH},
    {"beyond 706, raw", false, {WireFault::LineLength, 5, 900}, ZM4_FRAME_NO_END_OF_LINE},
};

TEST(FormatStreamStatus, LineFaultsStopAtTheFaultyRow)
{
    for (const uint32_t format : {ZM4_FORMAT_NONE, ZM4_FORMAT_RGB32, ZM4_FORMAT_RGB24, ZM4_FORMAT_RGB16,
                                  ZM4_FORMAT_I420, ZM4_FORMAT_YV12, ZM4_FORMAT_YUY2, ZM4_FORMAT_UYVY})
        for (const LineFault &c : kLineFaults)
            for (const bool decimate : {false, true}) {
                SCOPED_TRACE(::testing::Message()
                             << formatName(format) << ": " << c.name << (decimate ? ", decimated" : ""));
                StreamRun run(format, 24, 12, 20);
                EncodeOptions o;
                o.decimation = decimate;
                run.send(randomImage(24, 12, 800), o, "good frame before");
                o.compression = c.compress;
                o.previous = &run.reference();
                o.threshold = 2;
                o.fault = c.fault;
                auto f = encodeFrame(mutate(run.reference(), 60, 801), o);
                if (c.fault.kind == WireFault::LineLength && c.fault.value > 0) {
                    // Keep the first data byte from looking like the marker.
                    const size_t at = 64 + 5 * 51 + 2;
                    f.bytes[at] = 0x10;
                }
                ASSERT_EQ(decodeInto(format, f, run.output(), 24, 12, run.state()), c.status);
                EXPECT_EQ(run.state(), decimate ? 1 : 0);
                // Rows above the faulty one hold the new frame, rows below the old one.
                const uint32_t faultyRow = decimate ? 10 : 5;
                run.model().applyRows(f, o, faultyRow);
                for (const uint32_t r : run.model().badRows(run.output()))
                    EXPECT_EQ(r, faultyRow) << "row " << r << " differs";
            }
}

// Decodes into a noise image and checks the status (ZM4_FRAME_OK: any failure)
// and that nothing was written.
void expectRefusedUntouched(uint32_t format, const std::vector<uint8_t> &bytes, uint32_t w, uint32_t h,
                            uint16_t &state, uint32_t status)
{
    std::vector<uint8_t> out = noiseBuffer(24 * 32 * 4, 23);
    const auto before = out;
    const uint32_t got = FormatStreamBounded(format, bytes.data(), bytes.size(), out.data(), w, h, &state);
    if (status == ZM4_FRAME_OK)
        EXPECT_NE(got, ZM4_FRAME_OK) << formatName(format) << " " << w << "x" << h;
    else
        EXPECT_EQ(got, status) << formatName(format) << " " << w << "x" << h;
    EXPECT_EQ(out, before) << formatName(format) << " " << w << "x" << h;
}

// Refused before anything is written: no magic, an unsupported format code (after the
// decimation word is updated), a size the frame does not have (half the width
// is a common mistake for packed pairs), a window the camera cannot have
// (columns backwards, beyond 352 pixels or 288 lines), even without
// VerifyStream.
TEST(FormatStreamStatus, RefusedBeforeAnythingIsWritten)
{
    const auto good = encodeFrame(randomImage(24, 12, 902), kind(false, false, true)).bytes;
    for (const uint32_t code : {0u, 5u, 10u, 11u, 255u, 0x80000003u, 0xFFFFFFFFu}) {
        uint16_t state = 0xAB00;
        expectRefusedUntouched(code, good, 24, 12, state, ZM4_FRAME_BAD_FORMAT);
        EXPECT_EQ(state, 1);
    }
    const std::pair<uint8_t, uint8_t> windows[][2] = {
        {{0x18, 4}, {0x19, 1}}, {{0x18, 0}, {0x19, 45}}, {{0x1A, 0}, {0x1B, 73}}, {{0x18, 200}, {0x19, 203}}};
    const auto noMagic = encodeFrame(randomImage(24, 12, 901), kind(false, false, false, 64)).bytes;
    for (const uint32_t format : kAllFormats) {
        // No magic within the first 64 bytes, also in buffers shorter than
        // that: the decimation word is kept.
        uint16_t decimated = 1;
        expectRefusedUntouched(format, noMagic, 24, 12, decimated, ZM4_FRAME_BAD_HEADER);
        for (const size_t len : {0, 1, 2, 40, 64, 65})
            expectRefusedUntouched(format, std::vector<uint8_t>(len, 0x19), 24, 12, decimated,
                                   ZM4_FRAME_BAD_HEADER);
        EXPECT_EQ(decimated, 1);
        // Half the width is a common mistake for packed pairs.
        const std::pair<uint32_t, uint32_t> wrongSizes[] = {{16, 12}, {32, 12}, {24, 8},  {24, 16}, {12, 24},
                                                            {0, 0},   {24, 13}, {25, 12}, {12, 12}};
        for (const auto &[w, h] : wrongSizes) {
            uint16_t state = 0;
            expectRefusedUntouched(format, good, w, h, state, ZM4_FRAME_SIZE_MISMATCH);
        }
        for (const auto &fields : windows) {
            auto bytes = good;
            for (const auto &[offset, value] : fields)
                bytes[offset] = value;
            uint16_t state = 0;
            expectRefusedUntouched(format, bytes, 24, 12, state, ZM4_FRAME_OK); // any failure
        }
    }
}

// A row a compressed frame leaves as it was (skips to the row's end) is
// passed over at once; lines that only look like one must decode as the
// reference path decodes them, status and bytes.
TEST(FormatStreamStatus, UnchangedRowLookalikesDecodeAsTheReferenceDoes)
{
    struct Lookalike {
        const char *name;
        std::vector<uint8_t> data; // a row of 176 pixels is 88 pairs: 62 + 26
        int lengthChange = 0;      // to the length word
        bool cut = false;          // the buffer ends before the line's marker
    };
    const Lookalike lines[] = {
        {"three skips", {0x59, 0x59, 0xB1}},
        {"half pairs", {0xF7, 0x6B}},
        {"a skip of nothing after", {0xF9, 0x69, 0x01}},
        {"a skip of nothing before", {0x01, 0xF9, 0x69}},
        {"the marker as a skip", {0xFD, 0x65}},
        {"short of the row", {0xF9}},
        {"past the row", {0xF9, 0x6D}},
        {"a pair whose bytes add up", {0xF9, 0x61, 0x06, 0x02, 0x02, 0x02}},
        {"no marker", {0xF9, 0x69, 0x10}, -1},
        {"no data", {}},
        {"a length of 0", {}, -1},
        {"cut before its marker", {0xF9, 0x69}, 0, true},
    };
    const std::vector<uint8_t> unchanged = {0xF9, 0x69};
    for (const uint32_t format : {ZM4_FORMAT_NONE, ZM4_FORMAT_RGB24, ZM4_FORMAT_I420, ZM4_FORMAT_UYVY})
        for (const Lookalike &c : lines)
            for (const uint32_t row : {2u, 3u}) { // an even row, and the last
                std::vector<std::vector<uint8_t>> data(4, unchanged);
                data[row] = c.data;
                auto bytes = handFrame(176, 4, true, false, data);
                bytes[64 + 5 * row] = static_cast<uint8_t>(bytes[64 + 5 * row] + c.lengthChange);
                if (c.cut) // a buffer of just that size, so that a read past it reports
                    bytes = std::vector<uint8_t>(bytes.begin(), bytes.begin() + 64 + 5 * row + 2 + 2);
                uint32_t status[2];
                std::vector<uint8_t> out[2];
                for (const uint32_t reference : {0u, 1u}) {
                    Decode_ForceReferencePath(reference);
                    out[reference] = noiseBuffer(std::max<size_t>(Decode_ImageBytes(format, 176, 4), 1), 5);
                    uint16_t state = 0;
                    status[reference] = FormatStreamBounded(format, bytes.data(), bytes.size(),
                                                            out[reference].data(), 176, 4, &state);
                }
                Decode_ForceReferencePath(0);
                EXPECT_EQ(status[0], status[1]) << formatName(format) << ": " << c.name << ", row " << row;
                EXPECT_EQ(out[0], out[1]) << formatName(format) << ": " << c.name << ", row " << row;
            }
}

TEST(FormatStreamStatus, EmptyWindowDecodesToNothing)
{
    auto bytes = handFrame(24, 0, false, false, {});
    bytes[0x1A] = bytes[0x1B] = 4;
    std::vector<uint8_t> out(4);
    uint16_t state = 0;
    EXPECT_EQ(FormatStreamBounded(ZM4_FORMAT_YUY2, bytes.data(), bytes.size(), out.data(), 24, 0, &state),
              ZM4_FRAME_OK);
}

} // namespace
} // namespace zm4::testing
