// zm4 decode: decodes raw frame files in order as one stream, as the driver
// decodes a live stream, and writes the images as PNG, PPM, Y4M or raw bytes.
#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <vector>

#include "decode/decode_options.h"
#include "decode/resize.h"
#include "decode/zm4decode.h"
#include "tools/cli.h"
#include "tools/frame_check.h"
#include "tools/image_writer.h"
#include "tools/output_file.h"
#include "tools/pixel_formats.h"

namespace zm4::cli {

namespace {

struct Size {
    uint32_t width;
    uint32_t height;
    bool operator==(const Size &) const = default;
};

std::string toString(Size size)
{
    return std::to_string(size.width) + 'x' + std::to_string(size.height);
}

std::optional<Size> parseSize(const std::string &text)
{
    size_t x = text.find_first_of("xX");
    if (x == std::string::npos)
        return std::nullopt;
    Size size{};
    const char *end = text.data() + text.size();
    auto w = std::from_chars(text.data(), text.data() + x, size.width);
    auto h = std::from_chars(text.data() + x + 1, end, size.height);
    if (w.ec != std::errc() || w.ptr != text.data() + x || h.ec != std::errc() || h.ptr != end)
        return std::nullopt;
    // The camera's largest frame doubled is the largest image there is.
    if (size.width == 0 || size.height == 0 || size.width > 704 || size.height > 576)
        return std::nullopt;
    return size;
}

// InitDecode .. FiniDecode around a whole run.
class DecoderSession {
public:
    explicit DecoderSession(bool reference)
    {
        Decode_ForceReferencePath(reference ? 1 : 0);
        InitDecode();
    }
    ~DecoderSession()
    {
        FiniDecode();
        Decode_ForceReferencePath(0);
    }
    DecoderSession(const DecoderSession &) = delete;
    DecoderSession &operator=(const DecoderSession &) = delete;
};

// The stream's state between frames, as the driver keeps it: one output image
// that compressed frames update in place and the decimation state word.
class StreamDecoder {
public:
    StreamDecoder(const PixelFormat &format, std::optional<Size> requested)
        : format_(format), requested_(requested)
    {
    }

    Size outputSize() const { return doubling_ ? Size{2 * frame_.width, 2 * frame_.height} : frame_; }

    std::span<const uint8_t> decode(const std::string &path, std::span<const uint8_t> bytes)
    {
        FrameCheck check = checkFrame(bytes);
        if (check.status != ZM4_FRAME_OK)
            throw CliError(kExitBadFrame, path + ": " + check.message);
        Size size{frameWidth(check.info), frameHeight(check.info)};
        if (size.width == 0 || size.height == 0)
            throw CliError(kExitBadFrame, path + ": frame has no image (columns " +
                                              std::to_string(check.info.colStart / 2) + " to " +
                                              std::to_string(check.info.colEnd / 2) + ", rows " +
                                              std::to_string(check.info.rowStart) + " to " +
                                              std::to_string(check.info.rowEnd) + ")");
        if (!started_) {
            start(path, size);
            if (check.info.compression)
                std::cerr
                    << "zm4: warning: " << printable(path)
                    << ": the stream starts with a compressed frame, so the first picture is incomplete "
                       "(it holds only the pairs that frame carries)\n";
        } else if (!(size == frame_))
            throw CliError(kExitBadFrame, path + ": frame is " + toString(size) + ", but the stream is " +
                                              toString(frame_) + " (set by its first frame)");

        uint32_t status = FormatStreamBounded(format_.code, bytes.data(), bytes.size(), decoded_.data(),
                                              frame_.width, frame_.height, &decimationState_);
        if (status != ZM4_FRAME_OK)
            throw CliError(kExitBadFrame, path + ": " + describeDecodeStatus(status));
        if (!doubling_)
            return decoded_;
        // As the driver does for its largest RGB sizes: decode at half size into
        // the start of the big image and double it in place.
        std::copy(decoded_.begin(), decoded_.end(), doubled_.begin());
        Resize_by_2_PolyPhase(doubled_.data(), frame_.height, frame_.width);
        return doubled_;
    }

private:
    void start(const std::string &path, Size size)
    {
        frame_ = size;
        if (requested_ && !(*requested_ == size)) {
            Size twice{2 * size.width, 2 * size.height};
            if (!(*requested_ == twice))
                throw CliError(kExitUsage, path + ": frame is " + toString(size) + "; -s must be " +
                                               toString(size) + " or, for rgb24, " + toString(twice));
            if (format_.code != ZM4_FORMAT_RGB24)
                throw CliError(kExitUsage, path + ": -s " + toString(twice) + " doubles the " +
                                               toString(size) + " frame, which only rgb24 can do");
            doubling_ = true;
            doubled_.assign(imageBytes(format_, twice.width, twice.height), 0);
        }
        // A stream that starts with a compressed frame only fills in what it
        // carries; the rest keeps the zero bytes of a new buffer.
        decoded_.assign(imageBytes(format_, size.width, size.height), 0);
        started_ = true;
    }

    const PixelFormat &format_;
    std::optional<Size> requested_;
    bool started_ = false;
    bool doubling_ = false;
    Size frame_{};
    std::vector<uint8_t> decoded_;
    std::vector<uint8_t> doubled_;
    uint16_t decimationState_ = 0; // a new stream starts at 0
};

// Where decoded images go, chosen by the output name.
class ImageSink {
public:
    virtual ~ImageSink() = default;
    virtual void add(size_t frame, std::span<const uint8_t> image, Size size) = 0;
    virtual void finish() = 0;
};

class RawSink : public ImageSink {
public:
    explicit RawSink(const std::string &path) : file_(path) {}
    void add(size_t, std::span<const uint8_t> image, Size) override { file_.write(image); }
    void finish() override { file_.commit(); }

private:
    OutputFile file_;
};

class Y4mSink : public ImageSink {
public:
    Y4mSink(std::string path, const PixelFormat &format) : path_(std::move(path)), format_(format) {}
    void add(size_t, std::span<const uint8_t> image, Size size) override
    {
        if (!writer_)
            writer_ = std::make_unique<Y4mWriter>(path_, format_, size.width, size.height);
        writer_->writeFrame(image);
    }
    void finish() override
    {
        if (writer_)
            writer_->finish();
    }

private:
    std::string path_;
    const PixelFormat &format_;
    std::unique_ptr<Y4mWriter> writer_;
};

// PNG or PPM: the last frame, or every frame when the name has a "%d".
class StillSink : public ImageSink {
public:
    StillSink(const std::string &name, ImageFileKind kind, const PixelFormat &format)
        : pattern_(name), kind_(kind), format_(format)
    {
    }
    void add(size_t frame, std::span<const uint8_t> image, Size size) override
    {
        last_ = toTopDownRgb(format_, image, size.width, size.height);
        lastSize_ = size;
        lastFrame_ = frame;
        if (pattern_.perFrame)
            write();
    }
    void finish() override
    {
        if (!pattern_.perFrame && !last_.empty())
            write();
    }

private:
    void write()
    {
        std::string path = pattern_.nameFor(lastFrame_);
        if (kind_ == ImageFileKind::Png)
            writePng(path, last_, lastSize_.width, lastSize_.height);
        else
            writePpm(path, last_, lastSize_.width, lastSize_.height);
    }

    NamePattern pattern_;
    ImageFileKind kind_;
    const PixelFormat &format_;
    std::vector<uint8_t> last_;
    Size lastSize_{};
    size_t lastFrame_ = 0;
};

std::unique_ptr<ImageSink> makeSink(const std::string &out, ImageFileKind kind, const PixelFormat &format)
{
    switch (kind) {
    case ImageFileKind::Png:
    case ImageFileKind::Ppm:
        return std::make_unique<StillSink>(out, kind, format);
    case ImageFileKind::Y4m:
        return std::make_unique<Y4mSink>(out, format);
    case ImageFileKind::Raw:
        break;
    }
    return std::make_unique<RawSink>(out);
}

struct DecodeOptions {
    std::vector<std::string> files;
    std::string format;
    std::string size;
    std::string output;
    bool reference = false;
};

int runDecode(const DecodeOptions &o)
{
    if (o.files.empty())
        throw usageError("decode", "no frame file given");
    if (o.format.empty())
        throw usageError("decode", "no output format given (-f " + pixelFormatNames() + ")");
    const PixelFormat *format = findPixelFormat(o.format);
    if (!format)
        throw usageError("decode",
                         "unknown format '" + o.format + "', expected one of " + pixelFormatNames());
    if (o.output.empty())
        throw usageError("decode", "no output file given (-o OUT)");
    std::optional<Size> size;
    if (!o.size.empty()) {
        size = parseSize(o.size);
        if (!size)
            throw usageError("decode",
                             "bad size '" + o.size + "', expected WxH such as 352x288 (at most 704x576)");
    }
    const ImageFileKind kind = imageFileKind(o.output, "decode");
    const bool rgb = format->family == PixelFamily::Rgb;
    if (kind == ImageFileKind::Y4m && rgb)
        throw usageError("decode",
                         std::string(format->name) + " is an RGB format: write it to .png or .ppm, not .y4m");
    if ((kind == ImageFileKind::Png || kind == ImageFileKind::Ppm) && !rgb)
        throw usageError("decode",
                         std::string(format->name) + " is a YUV format: write it to .y4m or a raw file");

    DecoderSession session(o.reference);
    StreamDecoder stream(*format, size);
    std::unique_ptr<ImageSink> sink = makeSink(o.output, kind, *format);
    size_t frame = 0;
    for (const std::string &path : o.files) {
        std::vector<uint8_t> bytes = readInput(path);
        std::span<const uint8_t> image = stream.decode(path == "-" ? "standard input" : path, bytes);
        sink->add(frame++, image, stream.outputSize());
    }
    sink->finish();
    return kExitOk;
}

} // namespace

std::function<int()> setupDecode(CLI::App &cmd)
{
    auto o = std::make_shared<DecodeOptions>();
    cmd.add_option("FILE", o->files, "raw frame files, in stream order ('-': standard input)")->type_name("");
    cmd.add_option("-f,--format", o->format, "output format (required)")->type_name("FORMAT");
    cmd.add_option("-s,--size", o->size, "output size: the frame's, or twice it for rgb24")->type_name("WxH");
    cmd.add_option("-o,--output", o->output, "output file (required; '-': standard output)")
        ->type_name("OUT");
    cmd.add_flag("--reference", o->reference, "use the decoder's plain reference code paths");
    cmd.footer(
        "Decodes the frame files in the order given as one stream, as the driver decodes a live\n"
        "stream: the output image and the decimation state carry over from frame to frame, so a\n"
        "compressed frame updates the image its predecessors left. Every frame is verified first;\n"
        "the first bad frame stops the run. All frames must have the first frame's size. A stream\n"
        "that starts with a compressed frame gets a warning: its first picture is incomplete.\n"
        "\n"
        "FORMAT (any case): rgb24, rgb32, rgb555 (also rgb16), i420 (also iyuv), yv12, yuy2, uyvy.\n"
        "\n"
        "OUT, by its extension:\n"
        "  .png, .ppm  RGB formats only: the last frame, top-down 8-bit RGB (5-bit components\n"
        "              widened). A '%d' (or '%03d') in the name writes every frame to its own\n"
        "              file instead, numbered from 0.\n"
        "  .y4m        YUV formats only: every frame; i420 and yv12 as C420paldv (planes Y, Cb, Cr),\n"
        "              yuy2 and uyvy as planar C422. The header says 30 fps.\n"
        "  .yuv, .rgb, .bin, .raw, or '-' and devices without an extension: every frame's image\n"
        "              appended, in the decoder's own layout (RGB bottom-up).\n"
        "A file is replaced only once the whole run succeeded; a device or FIFO is written in place.\n"
        "\n"
        "-s WxH: the frame's own size, or for rgb24 exactly twice it (e.g. 704x576 from 352x288 frames):\n"
        "the frame is then decoded at its size and doubled with the two-phase filter, as the driver\n"
        "does for its largest RGB sizes.\n"
        "\n"
        "Exit status: 0 success, 1 a file could not be read or written, 2 usage error, 4 a frame\n"
        "failed verification or decoding (the message names the file).");
    return [o] { return runDecode(*o); };
}

} // namespace zm4::cli
