// libFuzzer harness for the frame decoder's bounded entry points: whatever a
// camera (or a file) hands over, VerifyStreamBounded and FormatStreamBounded
// must neither read outside the input nor write outside the output image.
//
// Input: byte 0 picks the output format code (0 to 10, so the unsupported
// codes are tried too), bytes 1 and 2 the image width in 8-pixel columns and
// height in 4-line rows, byte 3 flags (below); the rest is the raw frame.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "decode/decode_options.h"
#include "decode/zm4decode.h"

namespace {

constexpr uint8_t kReferencePath = 0x01;  // plain per-pair writers
constexpr uint8_t kTwoFrames = 0x02;      // decode the frame again into the same image
constexpr uint8_t kDecimatedBefore = 0x04; // the stream's previous frame was decimated
constexpr uint8_t kSizeFromHeader = 0x08;  // image size taken from a header at byte 0

size_t outputBytes(uint32_t format, uint32_t width, uint32_t height)
{
    const size_t px = size_t{width} * height;
    switch (format) {
    case ZM4_FORMAT_RGB32:
        return px * 4;
    case ZM4_FORMAT_RGB24:
        return px * 3;
    case ZM4_FORMAT_RGB16:
    case ZM4_FORMAT_YUY2:
    case ZM4_FORMAT_UYVY:
        return px * 2;
    case ZM4_FORMAT_I420:
    case ZM4_FORMAT_YV12:
        return px + px / 2;
    default:
        return 0; // nothing may be written
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (std::getenv("ZM4_FUZZ_NO_MMX") != nullptr)
        Decode_ForceNoMmx(1);
    InitDecode();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    const uint32_t format = data[0] % 11u;
    uint32_t width = (data[1] % 45u) * 8;
    uint32_t height = (data[2] % 73u) * 4;
    const uint8_t flags = data[3];
    const uint8_t *stream = data + 4;
    const size_t length = size - 4;
    if ((flags & kSizeFromHeader) && length >= 0x1C && stream[0] == 0x19 && stream[1] == 0x68) {
        const int cols = int{stream[0x19]} - int{stream[0x18]};
        const int rows = int{stream[0x1B]} - int{stream[0x1A]};
        if (cols >= 0 && cols <= 44 && rows >= 0 && rows <= 72) {
            width = static_cast<uint32_t>(cols) * 8;
            height = static_cast<uint32_t>(rows) * 4;
        }
    }

    FrameHeaderInfo info;
    StreamErrorDetails details;
    uint32_t status = VerifyStreamBounded(stream, length, &info, &details);
    if (status == ZM4_FRAME_MAGIC_MOVED && details.offset < length)
        status = VerifyStreamBounded(stream + details.offset, length - details.offset, &info, &details);
    if (status > ZM4_FRAME_SIZE_MISMATCH || details.code != status)
        std::abort();

    // The output is a heap block of exactly the image's size, so any write
    // outside it is caught.
    const size_t bytes = outputBytes(format, width, height);
    std::unique_ptr<uint8_t[]> output(new uint8_t[bytes]);
    for (size_t i = 0; i < bytes; ++i)
        output[i] = static_cast<uint8_t>(i * 7);
    Decode_ForceReferencePath(flags & kReferencePath ? 1 : 0);
    uint16_t decimationState = flags & kDecimatedBefore ? 1 : 0;
    const int frames = flags & kTwoFrames ? 2 : 1;
    for (int i = 0; i < frames; ++i) {
        status = FormatStreamBounded(format, stream, length, output.get(), width, height, &decimationState);
        if (status > ZM4_FRAME_SIZE_MISMATCH)
            std::abort();
    }
    return 0;
}
