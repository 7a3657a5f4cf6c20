// YUV to RGB conversion: the tests' arithmetic and every per-pair converter
// at the documented edge values. (Over all values the converters are checked
// through whole frames of random pixels and clamp edges, the 4:2:0 converters
// through whole 4:2:0 frames, the row kernels against these converters.)
#include "decode/yuv2rgb.h"
#include "tests/decode/decode_env.h"

namespace zm4::testing {
using namespace zm4::decode;
namespace {

// Checks every converter on one pair against the model.
void pairMatches(const uint8_t src[4])
{
    Bgr want[2][2]; // [form][pixel]
    for (int f = 0; f < 2; ++f)
        for (int p = 0; p < 2; ++p)
            want[f][p] = modelConvert(src[2 * p], src[1], src[3], f ? RgbForm::Table : RgbForm::Direct);
    uint8_t rgb32[8], mmx[8] = {}, table[8] = {};
    uint16_t rgb16[2];
    mmx[6] = table[6] = 0x5A; // only the pair's six bytes may change
    YUVPixeltoRGB32(src, rgb32);
    YUVPixeltoRGB24MMX(src, mmx);
    YUVPixeltoRGB24Table(src, table);
    YUVPixeltoRGB16(src, rgb16);
    const auto at = [](const uint8_t *p) { return Bgr{p[0], p[1], p[2]}; };
    EXPECT_TRUE(at(rgb32) == want[0][0] && at(rgb32 + 4) == want[0][1] && rgb32[3] == 0 && rgb32[7] == 0 &&
                at(mmx) == want[0][0] && at(mmx + 3) == want[0][1] && mmx[6] == 0x5A &&
                at(table) == want[1][0] && at(table + 3) == want[1][1] && table[6] == 0x5A &&
                rgb16[0] == modelPack555(want[0][0]) && rgb16[1] == modelPack555(want[0][1]))
        << "Y0 U Y1 V = " << int(src[0]) << " " << int(src[1]) << " " << int(src[2]) << " " << int(src[3]);
}

TEST(Conversion, DocumentedEdgeValues)
{
    struct Edge {
        uint8_t y, u, v;
        Bgr direct, table;
    };
    const Edge edges[] = {
        {16, 128, 128, {0, 0, 0}, {19, 19, 19}},           {128, 128, 128, {133, 133, 133}, {152, 152, 152}},
        {235, 128, 128, {255, 255, 255}, {255, 255, 255}}, {128, 128, 255, {133, 29, 255}, {152, 48, 255}},
        {128, 255, 128, {255, 85, 133}, {255, 104, 152}},
    };
    for (const Edge &e : edges) {
        EXPECT_EQ(modelConvert(e.y, e.u, e.v, RgbForm::Direct), e.direct) << int(e.y) << " " << int(e.u);
        EXPECT_EQ(modelConvert(e.y, e.u, e.v, RgbForm::Table), e.table) << int(e.y) << " " << int(e.u);
        const uint8_t src[4] = {e.y, e.u, e.y, e.v};
        pairMatches(src);
    }
    EXPECT_EQ(ConvertRGB24PixelToRGB16(133, 29, 255), 0x7C70);
    EXPECT_EQ(ConvertRGB24PixelToRGB16(255, 255, 255), 0x7FFF);
}

} // namespace
} // namespace zm4::testing
