// Test pictures for frames of the emulated camera's encoder: seeded noise and
// flat colour.
#pragma once

#include <cstdint>
#include <random>

#include "emulator/scenes.h"

namespace zm4::testing {

// Every byte drawn from a seeded generator: the same seed gives the same image.
inline emu::Image422 randomImage(uint32_t width, uint32_t height, uint32_t seed)
{
    emu::Image422 image(width, height);
    std::mt19937 rng(seed);
    for (auto &b : image.data)
        b = static_cast<uint8_t>(rng() >> 24);
    return image;
}

inline emu::Image422 flatImage(uint32_t width, uint32_t height, uint8_t y, uint8_t u, uint8_t v)
{
    emu::Image422 image(width, height);
    emu::makeFlatScene(y, u, v)->render(0, image);
    return image;
}

} // namespace zm4::testing
