// Writes the fuzzer's seed corpus: small frames of every kind made with the
// test-side encoder, each behind the harness's four-byte prefix (format,
// columns, rows, flags).
#include <cstdio>
#include <string>
#include <vector>

#include "decode/zm4decode.h"
#include "tests/support/frame_encoder.h"

using zm4::testing::EncodeOptions;
using zm4::testing::FaultKind;

namespace {

bool writeSeed(const std::string &dir, const std::string &name, uint32_t format, uint32_t w, uint32_t h,
               uint8_t flags, const std::vector<uint8_t> &frame)
{
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(format), static_cast<uint8_t>(w / 8),
                                  static_cast<uint8_t>(h / 4), flags};
    bytes.insert(bytes.end(), frame.begin(), frame.end());
    const std::string path = dir + "/" + name;
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = true;
    const auto src = zm4::testing::randomImage(32, 16, 1);
    const auto next = zm4::testing::randomImage(32, 16, 2);
    const uint32_t formats[] = {ZM4_FORMAT_NONE, ZM4_FORMAT_RGB32, ZM4_FORMAT_RGB24, ZM4_FORMAT_RGB16,
                                ZM4_FORMAT_I420, ZM4_FORMAT_YV12,  ZM4_FORMAT_YUY2,  ZM4_FORMAT_UYVY};
    const auto plain = zm4::testing::encodeFrame(src, {});
    for (const uint32_t format : formats)
        ok &= writeSeed(dir, "plain-" + std::to_string(format), format, 32, 16, 0, plain.bytes);

    EncodeOptions o;
    o.compress = true;
    o.previous = &plain.reference;
    o.threshold = 40;
    ok &= writeSeed(dir, "compressed", ZM4_FORMAT_RGB24, 32, 16, 0x02,
                    zm4::testing::encodeFrame(next, o).bytes);
    o.subsample420 = true;
    ok &= writeSeed(dir, "compressed-420", ZM4_FORMAT_YUY2, 32, 16, 0x08,
                    zm4::testing::encodeFrame(next, o).bytes);
    o.decimate = true;
    ok &= writeSeed(dir, "decimated-420", ZM4_FORMAT_I420, 32, 16, 0x01,
                    zm4::testing::encodeFrame(next, o).bytes);
    o = {};
    o.compress = true;
    o.previous = &plain.reference;
    o.threshold = 40;
    ok &= writeSeed(dir, "fixup", ZM4_FORMAT_RGB32, 32, 16, 0x04, zm4::testing::encodeFrame(next, o).bytes);
    o = {};
    o.magicOffset = 17;
    o.colStart = 5;
    o.rowStart = 9;
    ok &= writeSeed(dir, "magic-moved", ZM4_FORMAT_RGB16, 32, 16, 0, zm4::testing::encodeFrame(src, o).bytes);
    o = {};
    o.compress = true;
    o.fault = {FaultKind::SurplusBytes, 1, 2};
    ok &= writeSeed(dir, "surplus", ZM4_FORMAT_UYVY, 32, 16, 0, zm4::testing::encodeFrame(src, o).bytes);
    o.fault = {FaultKind::EarlyEndOfLine, 2, 0};
    ok &= writeSeed(dir, "early-eol", ZM4_FORMAT_YV12, 32, 16, 0, zm4::testing::encodeFrame(src, o).bytes);
    o = {};
    o.fault = {FaultKind::LineLength, 3, 800};
    ok &= writeSeed(dir, "long-line", ZM4_FORMAT_RGB24, 32, 16, 0, zm4::testing::encodeFrame(src, o).bytes);
    o.fault = {FaultKind::NoEndOfLine, 0, 0x33};
    ok &= writeSeed(dir, "no-eol", ZM4_FORMAT_RGB32, 32, 16, 0, zm4::testing::encodeFrame(src, o).bytes);
    const auto wide = zm4::testing::randomImage(352, 4, 3);
    ok &= writeSeed(dir, "wide", ZM4_FORMAT_RGB24, 352, 4, 0x08, zm4::testing::encodeFrame(wide, {}).bytes);
    // The resize mode (flag 0x10): a 7 x 10 image of pixel bytes.
    ok &= writeSeed(dir, "resize", 0, 80, 28, 0x10, zm4::testing::randomImage(16, 8, 4).data);
    return ok ? 0 : 1;
}
