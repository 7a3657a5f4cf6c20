#include "tests/decode/decode_env.h"

#include <random>

namespace zm4::testing {

namespace {

class DecoderEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        Decode_ForceNoMmx(0);
        Decode_ForceReferencePath(0);
        InitDecode();
    }
    void TearDown() override { FiniDecode(); }
};

const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new DecoderEnvironment);

} // namespace

uint32_t reinitDecoder(bool noMmx)
{
    FiniDecode();
    Decode_ForceNoMmx(noMmx ? 1 : 0);
    return InitDecode();
}

std::vector<uint8_t> noiseBuffer(size_t bytes, uint32_t seed)
{
    std::vector<uint8_t> out(bytes);
    std::mt19937 rng(seed);
    for (auto &b : out)
        b = static_cast<uint8_t>(rng() >> 24);
    return out;
}

} // namespace zm4::testing
