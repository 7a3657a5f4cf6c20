// zm4 snapshot: one picture from the running camera, taken after a few frames
// so that automatic exposure and colour balance have settled.
#include <iostream>

#include "tools/capture.h"
#include "tools/cli.h"
#include "tools/image_writer.h"

namespace zm4::cli {

namespace {

struct SnapshotCommand {
    CaptureOptions options;
    std::string output;
    uint64_t skip = 10;
};

class SnapshotSink : public FrameSink {
public:
    SnapshotSink(std::string output, ImageFileKind kind, uint64_t skip)
        : output_(std::move(output)), kind_(kind), skip_(skip)
    {
    }
    void begin(const StreamChoice &choice) const override
    {
        if (choice.pixel->family != PixelFamily::Rgb)
            throw usageError("snapshot", "a snapshot is an RGB picture: -p rgb24 or rgb555");
        choice_ = choice;
    }
    void frame(uint64_t index, std::span<const uint8_t> bytes, const CaptureReport &) const override
    {
        if (index == skip_)
            rgb_ = toTopDownRgb(*choice_.pixel, bytes, static_cast<uint32_t>(choice_.width),
                                static_cast<uint32_t>(choice_.height));
    }
    void end() const override
    {
        const auto w = static_cast<uint32_t>(choice_.width), h = static_cast<uint32_t>(choice_.height);
        if (kind_ == ImageFileKind::Png)
            writePng(output_, rgb_, w, h);
        else
            writePpm(output_, rgb_, w, h);
    }

private:
    std::string output_;
    ImageFileKind kind_;
    uint64_t skip_;
    mutable StreamChoice choice_;
    mutable std::vector<uint8_t> rgb_;
};

int snapshot(SnapshotCommand &c)
{
    if (c.output.empty())
        throw usageError("snapshot", "no output given (-o FILE.png or FILE.ppm)");
    const ImageFileKind kind = imageFileKind(c.output, "snapshot");
    if (kind != ImageFileKind::Png && kind != ImageFileKind::Ppm)
        throw usageError("snapshot", "a snapshot is written as .png or .ppm, not '" + c.output + "'");
    CaptureOptions o = c.options;
    if (o.pixelFormat.empty())
        o.pixelFormat = "rgb24";
    o.frames = c.skip + 1;
    o.progress = false;
    SnapshotSink sink(c.output, kind, c.skip);
    const CaptureReport report = runCapture(o, "snapshot", sink);
    std::cerr << summaryText(report, "snapshot", c.output);
    return kExitOk;
}

} // namespace

std::function<int()> setupSnapshot(CLI::App &cmd)
{
    auto c = std::make_shared<SnapshotCommand>();
    cmd.add_option("-o,--output", c->output, "FILE.png or FILE.ppm")->type_name("FILE");
    cmd.add_option("--skip", c->skip,
                   "frames to let pass first, for exposure and colour balance (default 10)")
        ->type_name("N");
    addCaptureOptions(cmd, c->options);
    cmd.footer("Runs the driver's capture stream on the emulated camera and writes the frame after\n"
               "--skip N as a PNG or binary PPM. -s 704x576 gives the driver's doubled CIF picture\n"
               "(rgb24 only). Real time is the default; --simulated is quicker.\n"
               "\n"
               "Exit status: 0 success, 1 I/O error or the driver failed, 2 usage error.");
    return [c] { return snapshot(*c); };
}

} // namespace zm4::cli
