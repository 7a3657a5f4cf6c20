// The output formats the tool offers by name (-f rgb24, -f i420, ...) with
// their decoder format codes and image sizes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zm4::cli {

enum class PixelFamily { Rgb, PlanarYuv420, PackedYuv422 };

struct PixelFormat {
    std::string_view name;  // what -f takes (any case)
    std::string_view alias; // a second accepted name, or empty
    uint32_t code;          // the decoder's output format code
    uint32_t bitsPerPixel;
    PixelFamily family;
};

// nullptr when the name is not one of ours.
const PixelFormat *findPixelFormat(std::string_view name);
// The format with this decoder output format code; nullptr when none.
const PixelFormat *findPixelFormatByCode(uint32_t code);
// "rgb24, rgb32, ..." for messages and help texts.
std::string pixelFormatNames();
// Bytes of one image of width x height pixels in the decoder's layout.
size_t imageBytes(const PixelFormat &format, uint32_t width, uint32_t height);

} // namespace zm4::cli
