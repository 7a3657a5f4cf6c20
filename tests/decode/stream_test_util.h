// A stream as the driver runs one: a camera side that encodes each frame
// against what it sent before, the decoder writing into one exact-size output
// buffer, and the tests' receiver model that says what that buffer must hold.
#pragma once

#include <random>
#include <string>

#include "tests/decode/decode_env.h"

namespace zm4::testing {

// Changes about `percent` of the pairs to new random values and nudges others
// by at most 2, which a threshold of 2 hides.
inline Image422 mutate(const Image422 &from, int percent, uint32_t seed)
{
    Image422 next = from;
    std::mt19937 rng(seed);
    for (size_t i = 0; i < next.data.size(); i += 4) {
        const int roll = static_cast<int>(rng() % 100);
        if (roll < percent) {
            for (size_t k = 0; k < 4; ++k)
                next.data[i + k] = static_cast<uint8_t>(rng() >> 24);
        } else if (roll < percent + 20) {
            for (size_t k = 0; k < 4; ++k)
                next.data[i + k] =
                    static_cast<uint8_t>(std::clamp(int{next.data[i + k]} + int(rng() % 5) - 2, 0, 255));
        }
    }
    return next;
}

class StreamRun {
public:
    StreamRun(uint32_t format, uint32_t w, uint32_t h, uint32_t seed, RgbForm rgb24Form = RgbForm::Direct)
        : format_(format), w_(w), h_(h),
          out_(noiseBuffer(format == ZM4_FORMAT_NONE ? 64 : Decode_ImageBytes(format, w, h), seed)),
          model_(format, w, h, out_, rgb24Form)
    {
    }

    // Encodes `source` (compressed frames against the last frame's reference),
    // decodes it and checks the whole output. Returns the frame.
    EncodedFrame send(const Image422 &source, EncodeOptions o, const std::string &what)
    {
        if (o.compression && haveReference_) {
            o.previous = &reference_;
            o.threshold = 2;
        }
        o.skipUnderSentPairs = true;
        EncodedFrame f = encodeFrame(source, o);
        const uint32_t status = decodeInto(format_, f, out_, w_, h_, state_);
        EXPECT_EQ(status, ZM4_FRAME_OK) << what;
        EXPECT_EQ(state_, o.decimation ? 1 : 0) << what;
        model_.apply(f, o);
        reference_ = f.reference;
        haveReference_ = true;
        const auto bad = model_.badRows(out_);
        EXPECT_TRUE(bad.empty()) << what << ": " << formatName(format_) << " " << w_ << "x" << h_ << ", "
                                 << bad.size() << " rows differ, first " << (bad.empty() ? 0 : bad.front());
        return f;
    }

    std::vector<uint8_t> &output() { return out_; }
    ReceiverModel &model() { return model_; }
    uint16_t &state() { return state_; }
    const Image422 &reference() const { return reference_; }

private:
    uint32_t format_, w_, h_;
    std::vector<uint8_t> out_;
    ReceiverModel model_;
    uint16_t state_ = 0;
    Image422 reference_;
    bool haveReference_ = false;
};

} // namespace zm4::testing
