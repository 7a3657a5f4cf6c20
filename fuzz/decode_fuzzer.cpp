// libFuzzer harness for the frame decoder's bounded entry points and the
// resize: whatever a camera (or a file) hands over, VerifyStreamBounded and
// FormatStreamBounded must neither read outside the input nor write outside
// the output image, and the fast paths of every instruction-set level the
// processor has must give the reference path's status and bytes.
//
// Input: byte 0 picks the output format code (0 to 10, so the unsupported
// codes are tried too), bytes 1 and 2 the image width in 8-pixel columns and
// height in 4-line rows, byte 3 flags (below); the rest is the raw frame, or
// with kResize the pixels of an image to double.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "decode/decode_options.h"
#include "decode/resize.h"
#include "decode/zm4decode.h"

namespace {

constexpr uint8_t kTwoFrames = 0x02;       // decode the frame again into the same image
constexpr uint8_t kDecimatedBefore = 0x04; // the stream's previous frame was decimated
constexpr uint8_t kSizeFromHeader = 0x08;  // image size taken from a header at byte 0
constexpr uint8_t kResize = 0x10;          // double an image of bytes 1 x 2 pixels instead

// An uncompressed 4:2:0 frame of black with the input's window: walking it
// sets the part of the line image the input can reach, so every run of one
// input starts from the same decoder state.
std::vector<uint8_t> gResetFrame;

void mBuildResetFrame(const uint8_t *stream, size_t length)
{
    std::vector<uint8_t> &f = gResetFrame;
    f.assign(64, 0);
    f[0] = 0x19;
    f[1] = 0x68;
    size_t magic = 0;
    while (magic < 64 && !(magic + 1 < length && stream[magic] == 0x19 && stream[magic + 1] == 0x68))
        ++magic;
    if (magic < 64 && length - magic >= 64) {
        const uint8_t *h = stream + magic;
        if (h[0x18] <= h[0x19] && h[0x19] <= 44 && h[0x1A] <= h[0x1B] && h[0x1B] <= 72) {
            f[0x19] = static_cast<uint8_t>(h[0x19] - h[0x18]);
            f[0x1B] = static_cast<uint8_t>(h[0x1B] - h[0x1A]);
        }
    }
    const size_t lineBytes = size_t{f[0x19]} * 16;
    for (int row = 0; row < f[0x1B] * 4; ++row) {
        const size_t data = row % 2 == 0 ? lineBytes : lineBytes / 2;
        f.push_back(static_cast<uint8_t>((data + 1) & 0xFF));
        f.push_back(static_cast<uint8_t>((data + 1) >> 8));
        f.insert(f.end(), data, 16);
        f.push_back(0xFD);
    }
    f.push_back(0xFF);
}

// One decode of the input under the current switches, from the reset state.
struct Run {
    uint32_t status[2];
    std::vector<uint8_t> image;
};

Run mDecode(uint32_t format, const uint8_t *stream, size_t length, uint32_t width, uint32_t height,
            uint8_t flags)
{
    uint16_t reset = 0;
    if (FormatStreamBounded(ZM4_FORMAT_NONE, gResetFrame.data(), gResetFrame.size(), nullptr, 0, 0, &reset) !=
        ZM4_FRAME_OK)
        std::abort();
    // The output is a heap block of exactly the image's size, so any write
    // outside it is caught.
    const size_t bytes = Decode_ImageBytes(format, width, height);
    std::unique_ptr<uint8_t[]> output(new uint8_t[bytes]);
    for (size_t i = 0; i < bytes; ++i)
        output[i] = static_cast<uint8_t>(i * 7);
    uint16_t decimationState = flags & kDecimatedBefore ? 1 : 0;
    Run run{{0, 0}, {}};
    const int frames = flags & kTwoFrames ? 2 : 1;
    for (int i = 0; i < frames; ++i) {
        run.status[i] =
            FormatStreamBounded(format, stream, length, output.get(), width, height, &decimationState);
        if (run.status[i] > ZM4_FRAME_SIZE_MISMATCH)
            std::abort();
    }
    run.image.assign(output.get(), output.get() + bytes);
    return run;
}

// Every level's fast paths against the reference path.
void mCompareDecodes(uint32_t format, const uint8_t *stream, size_t length, uint32_t width, uint32_t height,
                     uint8_t flags)
{
    Decode_ForceReferencePath(1);
    const Run reference = mDecode(format, stream, length, width, height, flags);
    Decode_ForceReferencePath(0);
    for (uint32_t isa = 0; isa <= Decode_SupportedIsa(); ++isa) {
        Decode_ForceIsa(isa);
        const Run fast = mDecode(format, stream, length, width, height, flags);
        if (std::memcmp(fast.status, reference.status, sizeof fast.status) != 0 ||
            fast.image != reference.image)
            std::abort();
    }
    Decode_ForceIsa(Decode_IsaBest);
}

std::vector<uint8_t> mResized(const uint8_t *pixels, size_t length, uint32_t rows, uint32_t cols)
{
    const size_t in = size_t{rows} * cols * 3;
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[4 * in]);
    for (size_t i = 0; i < 4 * in; ++i)
        buffer[i] = length > 0 && i < in ? pixels[i % length] : 0xCD;
    Resize_by_2_PolyPhase(buffer.get(), rows, cols);
    return std::vector<uint8_t>(buffer.get(), buffer.get() + 4 * in);
}

void mCompareResizes(const uint8_t *pixels, size_t length, uint32_t rows, uint32_t cols)
{
    Decode_ForceReferencePath(1);
    const std::vector<uint8_t> reference = mResized(pixels, length, rows, cols);
    Decode_ForceReferencePath(0);
    for (uint32_t isa = 0; isa <= Decode_SupportedIsa(); ++isa) {
        Decode_ForceIsa(isa);
        if (mResized(pixels, length, rows, cols) != reference)
            std::abort();
    }
    Decode_ForceIsa(Decode_IsaBest);
}

} // namespace

// Undefined behaviour stops the run at its first finding (the build also
// passes -fno-sanitize-recover).
extern "C" const char *__ubsan_default_options()
{
    return "halt_on_error=1:print_stacktrace=1";
}

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
    const uint8_t flags = data[3];
    const uint8_t *stream = data + 4;
    const size_t length = size - 4;
    if (flags & kResize) {
        // Any size up to 96 x 96, including single rows and columns.
        mCompareResizes(stream, length, 1u + data[2] % 96u, 1u + data[1] % 96u);
        return 0;
    }

    const uint32_t format = data[0] % 11u;
    uint32_t width = (data[1] % 45u) * 8;
    uint32_t height = (data[2] % 73u) * 4;
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

    mBuildResetFrame(stream, length);
    mCompareDecodes(format, stream, length, width, height, flags);
    return 0;
}
