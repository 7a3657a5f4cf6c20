// Writes the fuzzer's seed corpus: small frames of every kind made with the
// emulated camera's encoder, each behind the harness's four-byte prefix (format,
// columns, rows, flags).
#include <cstdio>
#include <string>
#include <vector>

#include "decode/zm4decode.h"
#include "emulator/frame_encoder.h"
#include "tests/support/images.h"

using zm4::emu::encodeFrame;
using zm4::emu::EncodeOptions;
using zm4::emu::WireFault;
using zm4::testing::randomImage;

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
    const auto src = randomImage(32, 16, 1);
    const auto next = randomImage(32, 16, 2);
    const uint32_t formats[] = {ZM4_FORMAT_NONE, ZM4_FORMAT_RGB32, ZM4_FORMAT_RGB24, ZM4_FORMAT_RGB16,
                                ZM4_FORMAT_I420, ZM4_FORMAT_YV12,  ZM4_FORMAT_YUY2,  ZM4_FORMAT_UYVY};
    const auto plain = encodeFrame(src, {});
    for (const uint32_t format : formats)
        ok &= writeSeed(dir, "plain-" + std::to_string(format), format, 32, 16, 0, plain.bytes);

    EncodeOptions o;
    o.compression = true;
    o.previous = &plain.reference;
    o.threshold = 40;
    o.skipUnderSentPairs = true;
    ok &= writeSeed(dir, "compressed", ZM4_FORMAT_RGB24, 32, 16, 0x02, encodeFrame(next, o).bytes);
    o.subsampling422 = false;
    ok &= writeSeed(dir, "compressed-420", ZM4_FORMAT_YUY2, 32, 16, 0x08, encodeFrame(next, o).bytes);
    o.decimation = true;
    ok &= writeSeed(dir, "decimated-420", ZM4_FORMAT_I420, 32, 16, 0x01, encodeFrame(next, o).bytes);
    o = {};
    o.compression = true;
    o.previous = &plain.reference;
    o.threshold = 40;
    ok &= writeSeed(dir, "fixup", ZM4_FORMAT_RGB32, 32, 16, 0x04, encodeFrame(next, o).bytes);
    o = {};
    o.magicOffset = 17;
    o.colStart = 5;
    o.rowStart = 9;
    ok &= writeSeed(dir, "magic-moved", ZM4_FORMAT_RGB16, 32, 16, 0, encodeFrame(src, o).bytes);
    o = {};
    o.compression = true;
    o.fault = {WireFault::SurplusBytes, 1, 2};
    ok &= writeSeed(dir, "surplus", ZM4_FORMAT_UYVY, 32, 16, 0, encodeFrame(src, o).bytes);
    o.fault = {WireFault::EarlyEndOfLine, 2, 0};
    ok &= writeSeed(dir, "early-eol", ZM4_FORMAT_YV12, 32, 16, 0, encodeFrame(src, o).bytes);
    o = {};
    o.fault = {WireFault::LineLength, 3, 800};
    ok &= writeSeed(dir, "long-line", ZM4_FORMAT_RGB24, 32, 16, 0, encodeFrame(src, o).bytes);
    o.fault = {WireFault::NoEndOfLine, 0, 0x33};
    ok &= writeSeed(dir, "no-eol", ZM4_FORMAT_RGB32, 32, 16, 0, encodeFrame(src, o).bytes);
    const auto wide = randomImage(352, 4, 3);
    ok &= writeSeed(dir, "wide", ZM4_FORMAT_RGB24, 352, 4, 0x08, encodeFrame(wide, {}).bytes);
    // The resize mode (flag 0x10): a 7 x 10 image of pixel bytes.
    ok &= writeSeed(dir, "resize", 0, 80, 28, 0x10, randomImage(16, 8, 4).data);
    return ok ? 0 : 1;
}
