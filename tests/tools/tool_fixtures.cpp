// What the zm4 tool tests share.
#include "tests/tools/tool_fixtures.h"

#include <algorithm>
#include <cstdio>
#include <png.h>
#include <sstream>
#include <stdexcept>

#include "decode/zm4decode.h"
#include "tests/tools/tool_runner.h"

namespace zm4::cli::testing {

std::vector<Bytes> decodeWithLibrary(const std::vector<Bytes> &frames, uint32_t formatCode, uint32_t width,
                                     uint32_t height)
{
    InitDecode();
    Bytes image(Decode_ImageBytes(formatCode, width, height), 0);
    uint16_t decimationState = 0;
    std::vector<Bytes> images;
    for (const Bytes &frame : frames) {
        FrameHeaderInfo info{};
        StreamErrorDetails details{};
        uint32_t status = VerifyStreamBounded(frame.data(), frame.size(), &info, &details);
        if (status == ZM4_FRAME_OK)
            status = FormatStreamBounded(formatCode, frame.data(), frame.size(), image.data(), width, height,
                                         &decimationState);
        if (status != ZM4_FRAME_OK) {
            FiniDecode();
            throw std::runtime_error("library decode failed with status " + std::to_string(status));
        }
        images.push_back(image);
    }
    FiniDecode();
    return images;
}

Bytes topDownRgb(uint32_t formatCode, const Bytes &image, uint32_t width, uint32_t height)
{
    const size_t bpp = formatCode == ZM4_FORMAT_RGB32 ? 4 : formatCode == ZM4_FORMAT_RGB24 ? 3 : 2;
    Bytes rgb;
    for (uint32_t row = 0; row < height; ++row) {
        const uint8_t *line = image.data() + (height - 1 - row) * width * bpp;
        for (uint32_t col = 0; col < width; ++col) {
            const uint8_t *px = line + col * bpp;
            if (bpp == 2) {
                uint32_t w = px[0] | px[1] << 8;
                for (uint32_t shift : {10u, 5u, 0u}) {
                    uint32_t v = (w >> shift) & 31;
                    rgb.push_back(static_cast<uint8_t>(v << 3 | v >> 2));
                }
            } else {
                rgb.insert(rgb.end(), {px[2], px[1], px[0]});
            }
        }
    }
    return rgb;
}

RgbImage readPpm(const std::string &path)
{
    const Bytes bytes = readBytes(path);
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    std::string magic;
    unsigned maxValue = 0;
    RgbImage image;
    in >> magic >> image.width >> image.height >> maxValue;
    if (magic != "P6" || maxValue != 255 || in.get() != '\n')
        throw std::runtime_error(path + ": not a binary 8-bit PPM");
    image.rgb.assign(bytes.begin() + static_cast<std::ptrdiff_t>(in.tellg()), bytes.end());
    if (image.rgb.size() != size_t{image.width} * image.height * 3)
        throw std::runtime_error(path + ": PPM pixel data has the wrong size");
    return image;
}

RgbImage readPng(const std::string &path)
{
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str()))
        throw std::runtime_error(path + ": " + png.message);
    png.format = PNG_FORMAT_RGB;
    RgbImage image;
    image.width = png.width;
    image.height = png.height;
    image.rgb.resize(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, image.rgb.data(), 0, nullptr))
        throw std::runtime_error(path + ": " + png.message);
    return image;
}

Y4mStream readY4m(const std::string &path)
{
    const Bytes bytes = readBytes(path);
    const std::string text(bytes.begin(), bytes.end());
    Y4mStream stream;
    stream.header = text.substr(0, text.find('\n'));
    std::istringstream words(stream.header);
    std::string word;
    if (!(words >> word) || word != "YUV4MPEG2" || stream.header.size() == text.size())
        throw std::runtime_error(path + ": not a YUV4MPEG2 stream");
    while (words >> word) {
        if (word[0] == 'W' || word[0] == 'H')
            (word[0] == 'W' ? stream.width : stream.height) =
                static_cast<uint32_t>(std::stoul(word.substr(1)));
        else if (word[0] == 'C')
            stream.colour = word.substr(1);
    }
    const size_t pixels = size_t{stream.width} * stream.height;
    const size_t frameBytes = stream.colour == "422" ? 2 * pixels : pixels * 3 / 2;
    for (size_t at = stream.header.size() + 1; at < text.size(); at += 6 + frameBytes) {
        if (text.compare(at, 6, "FRAME\n") != 0 || text.size() - at < 6 + frameBytes)
            throw std::runtime_error(path + ": bad or short FRAME at byte " + std::to_string(at));
        stream.frames.emplace_back(text.begin() + static_cast<std::ptrdiff_t>(at + 6),
                                   text.begin() + static_cast<std::ptrdiff_t>(at + 6 + frameBytes));
    }
    return stream;
}

} // namespace zm4::cli::testing
