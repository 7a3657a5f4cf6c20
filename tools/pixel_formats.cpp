// The output formats the tool offers by name.
#include "tools/pixel_formats.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "decode/zm4decode.h"

namespace zm4::cli {

namespace {

const std::array<PixelFormat, 7> kPixelFormats = {{
    {"rgb24", "", ZM4_FORMAT_RGB24, 24, PixelFamily::Rgb},
    {"rgb32", "", ZM4_FORMAT_RGB32, 32, PixelFamily::Rgb},
    {"rgb555", "rgb16", ZM4_FORMAT_RGB16, 16, PixelFamily::Rgb},
    {"i420", "iyuv", ZM4_FORMAT_I420, 12, PixelFamily::PlanarYuv420},
    {"yv12", "", ZM4_FORMAT_YV12, 12, PixelFamily::PlanarYuv420},
    {"yuy2", "", ZM4_FORMAT_YUY2, 16, PixelFamily::PackedYuv422},
    {"uyvy", "", ZM4_FORMAT_UYVY, 16, PixelFamily::PackedYuv422},
}};

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

} // namespace

const PixelFormat *findPixelFormat(std::string_view name)
{
    for (const PixelFormat &format : kPixelFormats)
        if (equalsIgnoringCase(name, format.name) ||
            (!format.alias.empty() && equalsIgnoringCase(name, format.alias)))
            return &format;
    return nullptr;
}

const PixelFormat *findPixelFormatByCode(uint32_t code)
{
    for (const PixelFormat &format : kPixelFormats)
        if (format.code == code)
            return &format;
    return nullptr;
}

std::string pixelFormatNames()
{
    std::string names;
    for (const PixelFormat &format : kPixelFormats) {
        if (!names.empty())
            names += ", ";
        names += format.name;
    }
    return names;
}

size_t imageBytes(const PixelFormat &format, uint32_t width, uint32_t height)
{
    return Decode_ImageBytes(format.code, width, height);
}

} // namespace zm4::cli
