// The decoder's one allocation, the line image, goes through the allocator
// the driver installs (its pool): one block of 202752 bytes tagged "Wdm ",
// freed by the last FiniDecode; without it no frame is decoded.
#include <cstdlib>
#include <vector>

#include "tests/decode/decode_env.h"

namespace zm4::testing {
namespace {

struct PoolRecord {
    std::vector<std::pair<size_t, uint32_t>> allocations;
    std::vector<void *> live;
    int frees = 0;
    bool fail = false;
};
PoolRecord gPool;

void *poolAllocate(size_t bytes, uint32_t tag)
{
    gPool.allocations.emplace_back(bytes, tag);
    if (gPool.fail)
        return nullptr;
    void *block = std::malloc(bytes);
    gPool.live.push_back(block);
    return block;
}

void poolFree(void *block)
{
    ++gPool.frees;
    std::erase(gPool.live, block);
    std::free(block);
}

class DecoderAllocation : public ::testing::Test {
protected:
    void SetUp() override
    {
        gPool = {};
        FiniDecode(); // the environment's reference
        Decode_SetAllocator(poolAllocate, poolFree);
    }
    void TearDown() override
    {
        // Blocks come from malloc, so the default routines may free any left.
        Decode_SetAllocator(nullptr, nullptr);
        InitDecode();
    }
};

constexpr uint32_t kWdmTag = 'W' | 'd' << 8 | 'm' << 16 | ' ' << 24;

TEST_F(DecoderAllocation, LineImageComesFromThePoolAndGoesBackAndItsFailureIsSafe)
{
    InitDecode();
    ASSERT_EQ(gPool.allocations.size(), 1u);
    EXPECT_EQ(gPool.allocations[0].first, 202752u);
    EXPECT_EQ(gPool.allocations[0].second, kWdmTag);
    InitDecode(); // a second camera shares it
    EXPECT_EQ(gPool.allocations.size(), 1u);

    std::vector<uint8_t> out = noiseBuffer(24 * 12 * 4, 2);
    uint16_t state = 0;
    const auto frame = encodeFrame(randomImage(24, 12, 3), {});
    EXPECT_EQ(decodeInto(ZM4_FORMAT_YUY2, frame, out, 24, 12, state), ZM4_FRAME_OK);

    FiniDecode();
    EXPECT_EQ(gPool.frees, 0) << "freed while a camera still uses it";
    FiniDecode();
    EXPECT_EQ(gPool.frees, 1);
    EXPECT_TRUE(gPool.live.empty());

    // A failed allocation refuses every frame without writing; verification
    // needs no line image; a later start tries again.
    gPool.fail = true;
    InitDecode();
    const auto before = out;
    for (const uint32_t format : kAllFormats) {
        EXPECT_NE(decodeInto(format, frame, out, 24, 12, state), ZM4_FRAME_OK) << formatName(format);
        EXPECT_EQ(out, before);
    }
    FrameHeaderInfo info;
    StreamErrorDetails details;
    EXPECT_EQ(VerifyStreamBounded(frame.bytes.data(), frame.bytes.size(), &info, &details), ZM4_FRAME_OK);
    FiniDecode();
    gPool.fail = false;
    InitDecode();
    EXPECT_EQ(decodeInto(ZM4_FORMAT_RGB32, frame, out, 24, 12, state), ZM4_FRAME_OK);
    FiniDecode();
    EXPECT_TRUE(gPool.live.empty());
}

} // namespace
} // namespace zm4::testing
