// Writing decoded images to files.
#include "tools/image_writer.h"

#include <algorithm>
#include <cctype>
#include <png.h>
#include <stdexcept>

#include "decode/zm4decode.h"
#include "tools/cli.h"

namespace zm4::cli {

namespace {

uint8_t widen5(uint32_t v)
{
    return static_cast<uint8_t>((v << 3) | (v >> 2));
}

// Bytes per pixel of the packed RGB layouts; the others are not RGB.
size_t rgbBytesPerPixel(const PixelFormat &format)
{
    return format.bitsPerPixel / 8;
}

struct Extension {
    std::string_view name;
    ImageFileKind kind;
};

const Extension kExtensions[] = {
    {"png", ImageFileKind::Png}, {"ppm", ImageFileKind::Ppm}, {"y4m", ImageFileKind::Y4m},
    {"yuv", ImageFileKind::Raw}, {"rgb", ImageFileKind::Raw}, {"bin", ImageFileKind::Raw},
    {"raw", ImageFileKind::Raw},
};

} // namespace

ImageFileKind imageFileKind(const std::string &path, std::string_view command)
{
    const size_t dot = path.find_last_of('.');
    const size_t slash = path.find_last_of('/');
    std::string ext;
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        ext = path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    for (const Extension &known : kExtensions)
        if (ext == known.name)
            return known.kind;
    // Standard output and devices have no extension to go by.
    if (ext.empty() && writesInPlace(path))
        return ImageFileKind::Raw;
    std::string names;
    for (const Extension &known : kExtensions)
        names += std::string(names.empty() ? "" : ", ") + "." + std::string(known.name);
    throw usageError(command, "cannot tell the output format of '" + path + "': the known extensions are " +
                                  names + " (raw: the decoder's own bytes)");
}

std::vector<uint8_t> toTopDownRgb(const PixelFormat &format, std::span<const uint8_t> image, uint32_t width,
                                  uint32_t height)
{
    if (format.family != PixelFamily::Rgb)
        throw std::logic_error("toTopDownRgb needs an RGB format");
    const size_t bpp = rgbBytesPerPixel(format);
    const size_t stride = bpp * width;
    if (image.size() < stride * height)
        throw std::logic_error("toTopDownRgb: image smaller than its size");

    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    uint8_t *out = rgb.data();
    for (uint32_t row = 0; row < height; ++row) {
        // The decoder stores the top row last.
        const uint8_t *in = image.data() + (height - 1 - row) * stride;
        for (uint32_t col = 0; col < width; ++col, in += bpp, out += 3) {
            if (bpp == 2) {
                uint32_t word = in[0] | (in[1] << 8);
                out[0] = widen5((word >> 10) & 0x1F);
                out[1] = widen5((word >> 5) & 0x1F);
                out[2] = widen5(word & 0x1F);
            } else {
                out[0] = in[2];
                out[1] = in[1];
                out[2] = in[0];
            }
        }
    }
    return rgb;
}

void writePng(const std::string &path, std::span<const uint8_t> rgb, uint32_t width, uint32_t height)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = PNG_FORMAT_RGB;
    const auto stride = static_cast<png_int_32>(width * 3);
    png_alloc_size_t size = 0;
    std::vector<uint8_t> png;
    if (png_image_write_to_memory(&image, nullptr, &size, 0, rgb.data(), stride, nullptr)) {
        png.resize(size);
        if (!png_image_write_to_memory(&image, png.data(), &size, 0, rgb.data(), stride, nullptr))
            size = 0;
    }
    if (size == 0) {
        std::string reason = image.message;
        png_image_free(&image);
        throw CliError(kExitIo, path + ": cannot write PNG: " + reason);
    }
    OutputFile file(path);
    file.write(std::span<const uint8_t>(png).first(size));
    file.commit();
}

void writePpm(const std::string &path, std::span<const uint8_t> rgb, uint32_t width, uint32_t height)
{
    OutputFile file(path);
    file.write("P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n");
    file.write(rgb.first(static_cast<size_t>(width) * height * 3));
    file.commit();
}

std::vector<uint8_t> toY4mPlanes(const PixelFormat &format, std::span<const uint8_t> image, uint32_t width,
                                 uint32_t height)
{
    const size_t pixels = static_cast<size_t>(width) * height;
    if (image.size() < imageBytes(format, width, height))
        throw std::logic_error("toY4mPlanes: image smaller than its size");

    if (format.family == PixelFamily::PlanarYuv420) {
        // Y4M wants Y, Cb, Cr; YV12 stores its V plane before its U plane.
        const size_t chroma = pixels / 4;
        std::vector<uint8_t> planes(image.begin(),
                                    image.begin() + static_cast<std::ptrdiff_t>(pixels + 2 * chroma));
        if (format.code == ZM4_FORMAT_YV12) {
            std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(pixels + chroma), chroma,
                        planes.begin() + static_cast<std::ptrdiff_t>(pixels));
            std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(pixels), chroma,
                        planes.begin() + static_cast<std::ptrdiff_t>(pixels + chroma));
        }
        return planes;
    }
    if (format.family == PixelFamily::PackedYuv422) {
        // Each 4-byte pair is Y0 U Y1 V (YUY2) or U Y0 V Y1 (UYVY).
        const bool uFirst = format.code == ZM4_FORMAT_UYVY;
        const size_t y0 = uFirst ? 1 : 0, u = uFirst ? 0 : 1, y1 = uFirst ? 3 : 2, v = uFirst ? 2 : 3;
        std::vector<uint8_t> planes(pixels * 2);
        uint8_t *yPlane = planes.data();
        uint8_t *cbPlane = yPlane + pixels;
        uint8_t *crPlane = cbPlane + pixels / 2;
        for (size_t pair = 0; pair < pixels / 2; ++pair) {
            const uint8_t *p = image.data() + 4 * pair;
            yPlane[2 * pair] = p[y0];
            yPlane[2 * pair + 1] = p[y1];
            cbPlane[pair] = p[u];
            crPlane[pair] = p[v];
        }
        return planes;
    }
    throw std::logic_error("toY4mPlanes needs a YUV format");
}

Y4mWriter::Y4mWriter(std::string path, const PixelFormat &format, uint32_t width, uint32_t height,
                     std::pair<uint32_t, uint32_t> rate)
    : file_(std::move(path)), format_(format), width_(width), height_(height)
{
    if (format.family == PixelFamily::Rgb)
        throw std::logic_error("Y4mWriter needs a YUV format");
    std::string header = "YUV4MPEG2 W" + std::to_string(width) + " H" + std::to_string(height) + " F" +
                         std::to_string(rate.first) + ":" + std::to_string(rate.second) + " Ip A1:1 " +
                         (format.family == PixelFamily::PlanarYuv420 ? "C420paldv" : "C422") +
                         " XCOLORRANGE=LIMITED\n";
    file_.write(header);
}

void Y4mWriter::writeFrame(std::span<const uint8_t> image)
{
    file_.write(std::string_view("FRAME\n"));
    planes_ = toY4mPlanes(format_, image, width_, height_);
    file_.write(planes_);
}

} // namespace zm4::cli
