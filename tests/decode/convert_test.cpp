// YUV to RGB conversion: the documented edge values in every form, every
// per-pair converter against the tests' arithmetic over all chroma, and the
// 5-5-5 packing. (The 4:2:0 converters, which take the chroma above, are
// checked through whole 4:2:0 frames.)
#include <algorithm>
#include <array>

#include "decode/yuv2rgb.h"
#include "tests/decode/decode_env.h"

namespace zm4::testing {
using namespace zm4::decode;
namespace {

struct Edge {
    uint8_t y, u, v;
    Bgr direct, table;
};

const Edge kEdges[] = {
    {16, 128, 128, {0, 0, 0}, {19, 19, 19}},           {128, 128, 128, {133, 133, 133}, {152, 152, 152}},
    {235, 128, 128, {255, 255, 255}, {255, 255, 255}}, {128, 128, 255, {133, 29, 255}, {152, 48, 255}},
    {128, 255, 128, {255, 85, 133}, {255, 104, 152}},
};

Bgr at(const uint8_t *p)
{
    return {p[0], p[1], p[2]};
}

// Every converter's view of one pair: pixel 0 and pixel 1 as blue, green, red.
struct PairResult {
    Bgr px[2];
};

PairResult viaRgb32(const uint8_t src[4])
{
    uint8_t dst[8];
    YUVPixeltoRGB32(src, dst);
    EXPECT_EQ(dst[3], 0);
    EXPECT_EQ(dst[7], 0);
    return {{at(dst), at(dst + 4)}};
}

PairResult viaRgb24(void (*convert)(const uint8_t *, uint8_t *), const uint8_t src[4])
{
    uint8_t dst[8] = {0, 0, 0, 0, 0, 0, 0x5A, 0xA5};
    convert(src, dst);
    EXPECT_EQ(dst[6], 0x5A); // only the pair's six bytes may change
    EXPECT_EQ(dst[7], 0xA5);
    return {{at(dst), at(dst + 3)}};
}

std::array<uint16_t, 2> viaRgb16(const uint8_t src[4])
{
    uint16_t dst[2];
    YUVPixeltoRGB16(src, dst);
    return {dst[0], dst[1]};
}

// Checks every converter on one pair against the model.
void checkPair(const uint8_t src[4])
{
    const Bgr d0 = modelConvert(src[0], src[1], src[3], RgbForm::Direct);
    const Bgr d1 = modelConvert(src[2], src[1], src[3], RgbForm::Direct);
    const Bgr t0 = modelConvert(src[0], src[1], src[3], RgbForm::Table);
    const Bgr t1 = modelConvert(src[2], src[1], src[3], RgbForm::Table);
    const auto expectPair = [&](PairResult got, Bgr e0, Bgr e1, const char *what) {
        EXPECT_TRUE(got.px[0] == e0 && got.px[1] == e1)
            << what << " Y0 U Y1 V = " << int(src[0]) << " " << int(src[1]) << " " << int(src[2]) << " "
            << int(src[3]);
    };
    expectPair(viaRgb32(src), d0, d1, "RGB32");
    expectPair(viaRgb24(YUVPixeltoRGB24MMX, src), d0, d1, "RGB24 MMX");
    expectPair(viaRgb24(YUVPixeltoRGB24Table, src), t0, t1, "RGB24 table");
    const std::array<uint16_t, 2> packed = {modelPack555(d0), modelPack555(d1)};
    EXPECT_EQ(viaRgb16(src), packed);
}

TEST(Conversion, DocumentedEdgeValuesInEveryForm)
{
    for (const Edge &e : kEdges) {
        SCOPED_TRACE(::testing::Message() << "Y U V " << int(e.y) << " " << int(e.u) << " " << int(e.v));
        EXPECT_EQ(modelConvert(e.y, e.u, e.v, RgbForm::Direct), e.direct);
        EXPECT_EQ(modelConvert(e.y, e.u, e.v, RgbForm::Table), e.table);
        const uint8_t src[4] = {e.y, e.u, e.y, e.v};
        checkPair(src); // every converter against the model just checked
    }
}

TEST(Conversion, Rgb16Packing)
{
    EXPECT_EQ(ConvertRGB24PixelToRGB16(133, 29, 255), 0x7C70);
    EXPECT_EQ(ConvertRGB24PixelToRGB16(255, 255, 255), 0x7FFF);
    EXPECT_EQ(ConvertRGB24PixelToRGB16(0, 0, 0), 0x0000);
    const uint8_t white[4] = {235, 128, 235, 128};
    EXPECT_EQ(viaRgb16(white), (std::array<uint16_t, 2>{0x7FFF, 0x7FFF}));
    const uint8_t redish[4] = {128, 128, 16, 255};
    EXPECT_EQ(viaRgb16(redish)[0], 0x7C70);
}

TEST(Conversion, AllChromaForSeveralLumaValues)
{
    for (const int yv : {0, 15, 16, 17, 100, 128, 200, 235, 236, 255}) {
        const auto y = static_cast<uint8_t>(yv);
        for (uint32_t u = 0; u < 256; ++u)
            for (uint32_t v = 0; v < 256; ++v) {
                const uint8_t src[4] = {y, uint8_t(u), uint8_t(255 - y), uint8_t(v)};
                checkPair(src);
                if (HasFailure())
                    return;
            }
    }
}

} // namespace
} // namespace zm4::testing
