// Writing decoded images to files: PNG and binary PPM for the RGB formats
// (turned top-down and into plain 8-bit R, G, B), YUV4MPEG2 streams for the
// YUV formats, and the decoder's own bytes. Files go through OutputFile.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tools/output_file.h"
#include "tools/pixel_formats.h"

namespace zm4::cli {

enum class ImageFileKind { Png, Ppm, Y4m, Raw };

// By the output name's extension (any case): .png, .ppm, .y4m, and .yuv,
// .rgb, .bin or .raw for the decoder's own bytes. A name without an
// extension that is standard output or a device is Raw. Throws a usage error
// of `command` that lists the known extensions for anything else.
ImageFileKind imageFileKind(const std::string &path, std::string_view command);

// The decoder's bottom-up B,G,R / B,G,R,0 / 5-5-5 image as top-down R,G,B
// bytes. 5-bit components are widened by repeating their top bits (31 -> 255).
std::vector<uint8_t> toTopDownRgb(const PixelFormat &format, std::span<const uint8_t> image, uint32_t width,
                                  uint32_t height);

// rgb: top-down R,G,B rows. Throw CliError(kExitIo) naming the file on failure.
void writePng(const std::string &path, std::span<const uint8_t> rgb, uint32_t width, uint32_t height);
void writePpm(const std::string &path, std::span<const uint8_t> rgb, uint32_t width, uint32_t height);

// A YUV4MPEG2 stream of a YUV format: I420 and YV12 as 4:2:0 with the planes
// in Y, Cb, Cr order; YUY2 and UYVY losslessly as planar 4:2:2 (C422). The
// decoder's 4:2:0 chroma is the even row's sample of each pixel pair, sited on
// the pair's top-left pixel: C420paldv, as common readers take that tag. The
// camera's levels are video range (luma 16 to 235): XCOLORRANGE=LIMITED.
class Y4mWriter {
public:
    // rate: frames per second as numerator and denominator.
    Y4mWriter(std::string path, const PixelFormat &format, uint32_t width, uint32_t height,
              std::pair<uint32_t, uint32_t> rate = {30, 1});

    void writeFrame(std::span<const uint8_t> image);
    void finish() { file_.commit(); }

private:
    OutputFile file_;
    const PixelFormat &format_;
    uint32_t width_;
    uint32_t height_;
    std::vector<uint8_t> planes_;
};

// The planes of one Y4M frame (Y, Cb, Cr) from a decoded YUV image.
std::vector<uint8_t> toY4mPlanes(const PixelFormat &format, std::span<const uint8_t> image, uint32_t width,
                                 uint32_t height);

// The frame number put into a name with a printf-style "%d" or "%0Nd"; the
// name unchanged when it has neither.
struct NamePattern {
    std::string prefix;
    std::string suffix;
    int digits = 0;
    bool perFrame = false;

    explicit NamePattern(const std::string &name)
    {
        for (size_t at = name.find('%'); at != std::string::npos; at = name.find('%', at + 1)) {
            size_t i = at + 1;
            while (i < name.size() && name[i] >= '0' && name[i] <= '9')
                ++i;
            if (i < name.size() && name[i] == 'd' && i - at - 1 <= 2) {
                perFrame = true;
                prefix = name.substr(0, at);
                suffix = name.substr(i + 1);
                digits = i > at + 1 ? std::atoi(name.substr(at + 1, i - at - 1).c_str()) : 0;
                return;
            }
        }
        prefix = name;
    }

    std::string nameFor(size_t frame) const
    {
        if (!perFrame)
            return prefix;
        std::string number = std::to_string(frame);
        if (number.size() < static_cast<size_t>(digits))
            number.insert(0, static_cast<size_t>(digits) - number.size(), '0');
        return prefix + number + suffix;
    }
};

} // namespace zm4::cli
